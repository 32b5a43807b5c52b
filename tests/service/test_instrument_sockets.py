"""Instrument sockets: pyvisa with pyvisa-py queries each kind of device; what is not the line
protocol (an HTTP request, bytes outside printable ASCII) closes the connection unrun."""
import socket

import pyvisa

from test_http_api import ADAPTERS


def test_pyvisa_queries_each_kind_of_device(serve, supplies):
    service = serve("--simulated", "--adapters", "--port", supplies["bridge"], "--port",
                    supplies["text"], environment=ADAPTERS)
    manager = pyvisa.ResourceManager("@py")
    try:
        for device, port in service.sockets.items():
            instrument = manager.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET",
                                               read_termination="\n", write_termination="\n",
                                               timeout=5000)
            head_type = instrument.query("?HTYPE")
            assert head_type and not head_type.startswith("ERR"), device
            assert float(instrument.query("?P")) >= 0
            assert instrument.query("?NOSUCH").startswith("ERR -3 invalid command: ")
            assert instrument.query("PCMD=1").startswith("ERR 403 read-only: ")
            instrument.close()
    finally:
        manager.close()


def exchange(port, data):
    """Sends the bytes, then reads until the service closes the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(data)
        received = b""
        while chunk := s.recv(4096):
            received += chunk
        return received


def test_line_protocol_and_what_is_refused(serve):
    service = serve("--simulated", "--allow-control")
    port = service.sockets["simulated"]
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        lines = s.makefile("rwb", buffering=0)
        s.sendall(b"?PCMD\r\n\r\nPCMD=2\nAUTH wrong\nAUTH " + service.token.encode() +
                  b"\nPCMD=2\n?PCMD\n" + b"?" * 300 + b"\n?HTYPE\n")
        replies = [lines.readline().decode().rstrip("\n") for _ in range(8)]
    assert replies[0] == "0.000"
    assert replies[1].startswith("ERR 401 token-required: ")
    assert replies[2].startswith("ERR 401 wrong-token: ")
    assert replies[3:6] == ["OK", "OK", "2.000"]
    assert replies[6].startswith("ERR 400 ")
    assert replies[7] == "Dummy"

    # A browser's form posted to the port: closed unanswered, none of its lines run.
    form = (b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n\r\n"
            b"AUTH " + service.token.encode() + b"\nPCMD=7\n")
    assert exchange(port, form) == b""
    assert exchange(port, b"?PCMD\n\xff\nPCMD=8\n") == b""
    assert exchange(port, b"?PCMD\x00\n") == b""
    assert service.line("simulated", "?PCMD") == "2.000"
    service.stop()
    log = service.process.stderr.read()
    assert log.count("not the line protocol") == 1

    # Read-only, a token is not the question: the refusal says control is off.
    read_only = serve("--simulated")
    assert read_only.line("simulated", "AUTH anything").startswith(
        "ERR 403 read-only: control is not allowed here")

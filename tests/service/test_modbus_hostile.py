"""Hostile Modbus TCP clients against one service: a truncated frame left hanging, an oversized
frame, a wrong protocol id, a frame that trickles in (closed at its 10 s bound), 100 idle
connections (at most 32 are kept, the longest idle shed for a new one), a client that never
reads. During and after each, a normal read on a new connection is answered within a second; once
the client is gone, the service's descriptors and memory come back."""
import socket
import struct
import threading
import time

import pytest

from conftest import Service, linux_only, stop, wait_for
from test_hostile_clients import drain_until_closed, send_until_refused
from test_load import descriptors, resident_kib

READ_POWER = struct.pack(">BHH", 4, 0, 2)


def frame(transaction, pdu, protocol=0, unit=1, length=None):
    return struct.pack(">HHHB", transaction, protocol, len(pdu) + 1 if length is None else length, unit) + pdu


@pytest.fixture(scope="module")
def door():
    service = Service(["--simulated", "--modbus-port", "0"])
    yield service
    stop(service.process)


def connect(service, timeout=10):
    return socket.create_connection(("127.0.0.1", service.modbus), timeout=timeout)


def answered(service):
    """A read of the power on a new connection, answered within a second."""
    with connect(service, timeout=1) as s:
        s.sendall(frame(1, READ_POWER))
        answer = b""
        while len(answer) < 13:
            chunk = s.recv(13 - len(answer))
            assert chunk, "closed unanswered"
            answer += chunk
    assert struct.unpack(">HHHBBB", answer[:9]) == (1, 0, 7, 1, 4, 4)


def closed_soon(s, seconds=5):
    """Whether the service closes the connection within `seconds`."""
    s.settimeout(seconds)
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def truncated(service):
    s = connect(service)
    s.sendall(frame(1, READ_POWER)[:9])  # the header and half of the request
    return [s]


def oversized(service):
    s = connect(service)
    s.sendall(frame(1, b"\x10" + bytes(299)))  # a length of 301: not Modbus TCP
    assert closed_soon(s)
    return [s]


def wrong_protocol(service):
    s = connect(service)
    s.sendall(frame(1, READ_POWER, protocol=1))
    assert closed_soon(s)
    return [s]


def idle_hundred(service):
    held = [connect(service) for _ in range(100)]
    # The listener keeps 32: each new one shed the longest idle before it.
    wait_for(lambda: sum(closed_soon(s, seconds=0.01) for s in held[:68]) == 68, seconds=10)
    return held


def never_reads(service):
    # Answers wait unread, so the service stops reading and sending stalls; it closes the
    # connection at its write bound.
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(("127.0.0.1", service.modbus))
    s.settimeout(5)
    send_until_refused(s, frame(1, READ_POWER) * 1000, 3 * 1024 * 1024)
    return [s]


ATTACKS = {
    "truncated": truncated,
    "oversized": oversized,
    "wrong-protocol": wrong_protocol,
    "idle-hundred": idle_hundred,
    "never-reads": pytest.param(never_reads, marks=linux_only),
}


@pytest.mark.parametrize("attack", ATTACKS.values(), ids=ATTACKS.keys())
def test_hostile_modbus_client(door, attack):
    answered(door)
    pid = door.process.pid
    before = descriptors(pid), resident_kib(pid)
    held = attack(door)
    answered(door)
    for s in held:
        s.close()
    answered(door)
    wait_for(lambda: descriptors(pid) <= before[0] + 2, seconds=20)
    assert resident_kib(pid) - before[1] < 16 * 1024


def test_a_trickling_frame_is_closed_at_its_bound_while_others_are_answered(door):
    with connect(door, timeout=30) as s:
        s.sendall(frame(1, b"", length=254)[:7])  # the header of the longest frame
        started = time.monotonic()
        stopping = threading.Event()

        def trickle():  # one byte of a long frame every half second, past the bound
            for _ in range(60):
                if stopping.wait(0.5):
                    return
                try:
                    s.send(b"\0")
                except OSError:
                    return

        trickler = threading.Thread(target=trickle)
        trickler.start()
        try:
            answered(door)
            assert drain_until_closed(s, seconds=30) == b""
            assert time.monotonic() - started >= 9  # not before its 10 s
        finally:
            stopping.set()
            trickler.join()
    answered(door)

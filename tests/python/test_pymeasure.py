"""The PyMeasure instrument through pyvisa-py: against `mavozarp serve`'s instrument sockets (the
simulated head and a virtual bridge supply), on a text supply's pseudo-terminal as an ASRL
resource, and the example procedure recording a ramp with PyMeasure's Results."""

import csv
import os
import signal
import socket
import subprocess
import sys
import threading

import pytest

from conftest import ROOT, TOOL

pytest.importorskip("pymeasure", reason="PyMeasure is not installed (Debian: python3-pymeasure)")
pyvisa = pytest.importorskip("pyvisa", reason="PyVISA is not installed (Debian: python3-pyvisa-py)")

import mavozarp  # noqa: E402
from mavozarp.pymeasure import ServiceRefusal, Supply  # noqa: E402
from mavozarp.virtual import Supplies  # noqa: E402


@pytest.fixture(scope="module")
def lines():
    with Supplies(bridge=["kora-band1"], text=["Kora"]) as supplies:
        yield supplies


@pytest.fixture
def serve(tmp_path):
    """serve(arguments...) -> {device: instrument socket port}; stopped by its pid afterwards."""
    started = []

    def start(*arguments):
        process = subprocess.Popen([TOOL, "serve", "--http-port", "0", "--instrument-port", "0",
                                    *arguments], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
        started.append(process)
        sockets = {}
        for line in process.stdout:
            if " on instrument socket " in line:
                device, address = line.strip().split(": ", 1)[1].split(" on instrument socket ")
                sockets[device] = address.rsplit(":", 1)[1]
            if "read-only" in line or "control allowed" in line:
                return sockets
        raise AssertionError("the service did not start")

    yield start
    for process in started:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        process.stdout.close()


def instrument(port, **kwargs):
    return Supply(f"TCPIP::127.0.0.1::{port}::SOCKET", visa_library="@py", **kwargs)


@pytest.fixture
def token_file(tmp_path):
    path = tmp_path / "token"
    path.write_text("a-token-for-the-tests\n")
    path.chmod(0o600)
    return path


def test_reading_and_setting_through_the_service(serve, lines, token_file):
    sockets = serve("--simulated", "--port", lines.bridge_ports[0], "--allow-control",
                    "--token-file", token_file)
    token = token_file.read_text().strip()
    for device, head_type, command in [("simulated", "Dummy", 2.5),
                                       (lines.bridge_ports[0], "Kora", 50.0)]:
        supply = instrument(sockets[device], token=token)
        assert supply.head_type == head_type and supply.idn.startswith(f"MavoZARP,{head_type},")
        supply.power_command = command
        # The Kora head stores the command as a 10-bit code.
        assert supply.power_command == pytest.approx(command, rel=0.01)
        assert supply.power >= 0 and supply.current >= 0
        assert 0 < supply.main_temperature < 100
        assert isinstance(supply.fault_word, int) and isinstance(supply.laser_on, bool)
        supply.shutter_open = True
        assert supply.shutter_open is True
        assert supply.faults.word == supply.fault_word
        with pytest.raises(ValueError):
            supply.shutter_open = 2  # neither True nor False: never sent
    kora = instrument(sockets[lines.bridge_ports[0]], token=token)
    with pytest.raises(mavozarp.InvalidData) as refused:
        kora.power_command = 1e9  # beyond the head's full scale
    assert (refused.value.code, refused.value.command) == (-4, "PCMD=1000000000.0")
    assert kora.power_command == pytest.approx(50.0, rel=0.01)  # unchanged, and still in step
    simulated = instrument(sockets["simulated"], token=token)
    with pytest.raises(mavozarp.InvalidCommand) as refused:
        simulated.thg_temperature  # the simulated head has no THG stage
    assert (refused.value.code, refused.value.command) == (-3, "?TTHG")
    assert refused.value.reply.startswith("ERR -3 invalid command")

    # Without the token, or with a wrong one, settings are the service's refusal.
    with pytest.raises(ServiceRefusal) as refused:
        instrument(sockets["simulated"]).power_command = 1
    assert (refused.value.code, refused.value.name) == (401, "token-required")
    with pytest.raises(ServiceRefusal) as refused:
        instrument(sockets["simulated"], token="not-the-token")
    assert refused.value.code == 401 and "not-the-token" not in str(refused.value)


def test_a_read_only_service_refuses_settings(serve):
    supply = instrument(serve("--simulated")["simulated"])
    with pytest.raises(ServiceRefusal) as refused:
        supply.power_command = 1
    assert (refused.value.code, refused.value.name) == (403, "read-only")
    assert supply.power == pytest.approx(0.1)


def test_text_supply_on_its_serial_port(lines):
    supply = Supply(f"ASRL{lines.text_ports[0]}::INSTR", visa_library="@py")
    try:
        assert supply.head_type == "Kora"
        supply.power_command = 1.5
        assert supply.power_command == 1.5
        assert supply.main_temperature == 25.0
        with pytest.raises(mavozarp.InvalidCommand) as refused:
            supply.fault_word  # this supply answers ERR to ?FF
        assert (refused.value.code, refused.value.reply) == (-3, "ERR")
        assert supply.power == 0.0
    finally:
        supply.adapter.connection.close()


def test_a_late_reply_is_never_taken_for_the_next(tmp_path):
    """A line server that answers "?SLOW" only once the next line has come: the reply owed
    since the time-out is dropped, and the next command gets its own."""
    with socket.create_server(("127.0.0.1", 0)) as server:
        def answer():
            connection, _ = server.accept()
            with connection, connection.makefile("rw", newline="\n") as peer:
                held = []
                for line in peer:
                    if line.strip() == "?SLOW":
                        held.append("late\n")
                        continue
                    peer.write("".join(held) + "prompt\n")
                    peer.flush()
                    held.clear()

        threading.Thread(target=answer, daemon=True).start()
        supply = instrument(server.getsockname()[1], timeout=300)
        with pytest.raises(pyvisa.errors.VisaIOError):
            supply.ask("?SLOW")
        assert supply.ask("?P") == "prompt"
        assert supply.ask("?P") == "prompt"
        supply.adapter.connection.close()


def test_example_procedure_records_a_ramp(serve, token_file, tmp_path):
    port = serve("--simulated", "--allow-control", "--token-file", token_file)["simulated"]
    data = tmp_path / "ramp.csv"
    example = [sys.executable, ROOT / "examples" / "python" / "pymeasure_ramp.py"]
    environment = {**os.environ, "PYTHONPATH": str(ROOT / "python")}
    run = subprocess.run([*example, f"TCPIP::127.0.0.1::{port}::SOCKET", data, "--token-file",
                          token_file, "--to", "2", "--steps", "4"], capture_output=True, text=True,
                         env=environment, timeout=60)
    assert run.returncode == 0, run.stderr
    text = data.read_text()
    rows = list(csv.DictReader(line for line in text.splitlines() if not line.startswith("#")))
    assert [float(row["Power command"]) for row in rows] == [0.0, 0.5, 1.0, 1.5, 2.0]
    # The simulated head gives 0.1 above its power command.
    assert [float(row["Power"]) for row in rows] == pytest.approx([0.1, 0.6, 1.1, 1.6, 2.1],
                                                                   abs=1e-3)
    assert "\tSteps: 4" in text  # the procedure's parameters, as Results records them
    assert "a-token" not in text
    # Left where the ramp began; and on a read-only service the procedure fails.
    assert instrument(port).power_command == 0.0
    read_only = serve("--simulated")["simulated"]
    run = subprocess.run([*example, f"TCPIP::127.0.0.1::{read_only}::SOCKET", tmp_path / "no.csv"],
                         capture_output=True, text=True, env=environment, timeout=60)
    assert run.returncode == 1 and "403" in run.stderr, run.stderr

"""The Modbus TCP door with clients we did not write (pymodbus and mbpoll) on loopback: every fixed
address on the simulated head, a bridge supply and virtual adapter supplies read as the HTTP API
reads the same queries; a power command written over Modbus is what ?PCMD answers; each exception
code; unit ids pinned by the configuration, then in the order configured, kept through an unplug
and return; pipelined requests answered in order. One service serves the module's reads and
writes (under Wine too); what needs a supply to leave or stop runs on a launcher of its own."""
import json
import math
import signal
import socket
import struct
import subprocess
import threading
import urllib.parse

import pytest
from pymodbus.client import ModbusTcpClient
from pymodbus.mei_message import ReadDeviceInformationRequest

from conftest import SIM, Service, linux_only, run_tool, stop, wait_for

# The simulated head pinned, and a unit kept for a device that is not there (yet).
PINNED = {"simulated": 7, "adapter-not-here": 1}
ADAPTERS = "picox-640,kora-band1"
WRITER = "127.0.0.1"  # may write; a client from 127.0.0.2 may not
FAULT_BITS = [0x0008, 0x0010, 0x0020, 0x0100, 0x0200, 0x1000, 0x2000, 0x4000, 0x8000]  # 100 to 108


@pytest.fixture(scope="module")
def door(supplies, tmp_path_factory):
    config = tmp_path_factory.mktemp("modbus") / "serve.json"
    config.write_text(json.dumps({"modbus_port": 0, "modbus_units": PINNED, "modbus_control": [WRITER]}))
    service = Service(["--config", str(config), "--simulated", "--port", supplies["bridge"],
                       "--adapters", "--allow-control"],
                      environment={"MAVOFTCI2C_EMULATED_SUPPLIES": ADAPTERS})
    yield service
    stop(service.process)


def units(service):
    """{device id: unit} as the HTTP API lists them."""
    return {device["id"]: device["modbus_unit"] for device in service.request("/api/v1/devices")[1]["devices"]}


def client(service, source="127.0.0.1"):
    modbus = ModbusTcpClient("127.0.0.1", port=service.modbus, timeout=10, retries=0,
                             source_address=(source, 0))
    assert modbus.connect()
    return modbus


def http_readings(service, device, queries):
    """{query: (status, reply)} through the HTTP API; a batch stops at a failing command, so what
    it did not send is sent again."""
    readings, waiting = {}, list(queries)
    while waiting:
        status, batch, _ = service.commands(urllib.parse.quote(device, safe=""), waiting)
        assert status == 200, batch
        for result in batch["results"]:
            readings[result["command"]] = (result["status"], result["reply"])
        waiting = batch.get("not_sent", [])
    return readings


def as_float32(reading):
    """A reading as the door gives it: the single nearest its reply, NaN when the head has none."""
    status, reply = reading
    if status != 0 or reply == "-1.000":
        return math.nan
    return struct.unpack(">f", struct.pack(">f", float(reply)))[0]


def floats(registers):
    return [struct.unpack(">f", struct.pack(">HH", *registers[i:i + 2]))[0] for i in range(0, len(registers), 2)]


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def word(reading):
    status, reply = reading
    return int(reply, 16) & 0xFFFF if status == 0 else 0


def bit(reading):
    status, reply = reading
    return status == 0 and float(reply) != 0


def exception_of(answer):
    return answer.exception_code if answer.isError() else None


def test_units_are_pinned_then_given_in_the_order_configured(door, supplies):
    given = units(door)
    adapters = sorted(unit for device, unit in given.items() if device.startswith("adapter-"))
    assert given["simulated"] == 7 and given[supplies["bridge"]] == 2 and adapters == [3, 4]
    assert door.request("/api/v1/devices/simulated")[1]["modbus_unit"] == 7


def test_pins_and_writers_that_cannot_be_are_refused_at_start(tmp_path):
    config = tmp_path / "serve.json"
    for units, why in [({"a": 3, "b": 3}, 'unit 3 is given to both "a" and "b"'),
                       ({"simulated": 248}, '"simulated" needs a unit id from 1 to 247, not 248'),
                       ({"simulated": 0}, "not 0"), ([7], "must be an object")]:
        config.write_text(json.dumps({"simulated": True, "modbus_port": 0, "modbus_units": units}))
        refused = run_tool("serve", "--config", str(config))
        assert refused.returncode == 2 and why in refused.stderr, refused.stderr
    for arguments, why in [(["--modbus-port", "0", "--modbus-control", "10.0.0.0/33"], "10.0.0.0/33"),
                           (["--modbus-control", "127.0.0.1"], "need --modbus-port")]:
        refused = run_tool("serve", "--simulated", *arguments)
        assert refused.returncode == 2 and why in refused.stderr, refused.stderr


def test_every_fixed_address_reads_as_the_http_api_reads_it(door):
    version = door.line("simulated", "*IDN?").split(",")[3]
    modbus = client(door)
    try:
        for device, unit in units(door).items():
            queries = ["?P", "?C", "?TMAIN", "?FF", "?PCMD", "?CCMD", "?KSWCMD", "?L", "?SH", "?KSW", "?INT",
                       "?HTYPE"]
            http = http_readings(door, device, queries)
            inputs = modbus.read_input_registers(0, 6, slave=unit)
            assert all(map(same, floats(inputs.registers), [as_float32(http[q]) for q in ["?P", "?C", "?TMAIN"]])), device
            assert modbus.read_input_registers(100, 1, slave=unit).registers == [word(http["?FF"])]
            holding = modbus.read_holding_registers(0, 4, slave=unit)
            assert all(map(same, floats(holding.registers), [as_float32(http[q]) for q in ["?PCMD", "?CCMD"]])), device
            assert modbus.read_coils(0, 1, slave=unit).bits[0] == bit(http["?KSWCMD"])
            states = modbus.read_discrete_inputs(0, 4, slave=unit).bits[:4]
            assert states == [bit(http[q]) for q in ["?L", "?SH", "?KSW", "?INT"]], device
            flags = modbus.read_discrete_inputs(100, len(FAULT_BITS), slave=unit).bits[:len(FAULT_BITS)]
            assert flags == [word(http["?FF"]) & flag != 0 for flag in FAULT_BITS], device
            identity = modbus.execute(ReadDeviceInformationRequest(read_code=1, object_id=0, unit=unit)).information
            assert identity == {0: b"MavoZARP", 1: http["?HTYPE"][1].encode(), 2: version.encode()}
    finally:
        modbus.close()


def mbpoll(service, unit, *options, values=()):
    """The values mbpoll read, as it prints them; it failing fails the test."""
    done = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(service.modbus), "-a", str(unit), "-0", "-1", "-q",
                           *options, "127.0.0.1", *values], capture_output=True, text=True, timeout=20)
    assert done.returncode == 0 and not done.stderr, done.stderr
    return [line.split("\t")[-1] for line in done.stdout.splitlines() if line.startswith("[")]


def test_a_power_command_written_with_mbpoll_is_what_pcmd_answers(door, supplies):
    given = units(door)
    adapter = next(device for device in given if device.startswith("adapter-"))
    power = ["-t", "4:float", "-B", "-r", "0"]
    for device, value in [("simulated", 0.25), (supplies["bridge"], 0.5), (adapter, 0.125)]:
        mbpoll(door, given[device], *power, values=[str(value)])
        assert float(http_readings(door, device, ["?PCMD"])["?PCMD"][1]) == value, device
        assert [float(read) for read in mbpoll(door, given[device], *power, "-c", "1")] == [value]
    # mbpoll reads the input registers as the HTTP API reads the queries.
    read = mbpoll(door, 7, "-t", "3:float", "-B", "-r", "0", "-c", "3")
    assert [as_float32((0, value)) for value in read] == [
        as_float32(reading) for reading in http_readings(door, "simulated", ["?P", "?C", "?TMAIN"]).values()]


def test_each_exception_code(door):
    adapter = units(door)[next(d for d in units(door) if d.startswith("adapter-"))]
    modbus, stranger = client(door), client(door, source="127.0.0.2")
    nan = list(struct.unpack(">HH", struct.pack(">f", math.nan)))
    try:
        assert exception_of(modbus.read_exception_status(slave=7)) == 1  # a function not served
        assert stranger.read_input_registers(0, 2, slave=7).registers  # reading is open...
        assert exception_of(stranger.write_registers(0, [0x3F00, 0], slave=7)) == 1  # ...writing is not
        assert exception_of(stranger.write_coil(0, True, slave=7)) == 1
        assert exception_of(modbus.read_input_registers(1, 2, slave=7)) == 2  # half a float32
        assert exception_of(modbus.read_input_registers(44, 1, slave=7)) == 2  # outside the map
        assert exception_of(modbus.write_register(0, 1, slave=7)) == 2  # one register of a float32
        assert exception_of(modbus.write_registers(0, nan, slave=7)) == 3
        too_much = list(struct.unpack(">HH", struct.pack(">f", 1e9)))
        assert exception_of(modbus.write_registers(0, too_much, slave=adapter)) == 3  # the head says -4
        assert modbus.read_input_registers(200, 1, slave=adapter).registers == [0x10000 - 4]
        assert exception_of(modbus.read_input_registers(0, 2, slave=200)) == 11  # no such unit
        assert exception_of(modbus.read_input_registers(0, 2, slave=1)) == 11  # its device never came
    finally:
        modbus.close()
        stranger.close()


def frame(transaction, unit, pdu):
    return struct.pack(">HHHB", transaction, 0, len(pdu) + 1, unit) + pdu


def receive(s, count):
    data = b""
    while len(data) < count:
        chunk = s.recv(count - len(data))
        assert chunk, f"closed after {data!r}"
        data += chunk
    return data


def test_pipelined_requests_are_answered_in_order_with_their_transaction_ids(door):
    read_power = struct.pack(">BHH", 4, 0, 2)
    with socket.create_connection(("127.0.0.1", door.modbus), timeout=10) as s:
        s.sendall(frame(10, 7, read_power) + frame(11, 200, read_power) + frame(12, 2, read_power))
        answers = [receive(s, 13), receive(s, 9), receive(s, 13)]
    assert [struct.unpack(">HHHB", answer[:7]) for answer in answers] == [
        (10, 0, 7, 7), (11, 0, 3, 200), (12, 0, 7, 2)]
    assert answers[1][7:] == bytes([0x84, 0x0B])


class Launcher:
    """mavozarp-sim with the supplies asked for, its adapters commanded on its standard input."""

    def __init__(self, *arguments):
        self.process = subprocess.Popen([SIM, *arguments], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.environment, self.bridges = {}, []
        for line in self.process.stdout:
            words = line.split()
            if words == ["ready"]:
                break
            if words[0] == "export":
                name, value = words[1].split("=", 1)
                self.environment[name] = value.split('"')[0].strip("'")
            elif words[0] == "bridge":
                self.bridges.append(words[-1])

    def tell(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        self.process.stdout.readline()

    def stop(self):
        self.process.send_signal(signal.SIGCONT)
        self.process.stdin.close()
        stop(self.process)


@linux_only
def test_a_unit_stays_its_devices_through_an_unplug_and_return():
    launcher = Launcher("--adapter", "picox-640", "--adapter", "kora-band1")
    services = []
    try:
        # One service rescans often; the other found the supplies once and keeps asking the one
        # that left, which fails the way a device fails.
        for rescan in ["0.2", "3600"]:
            services.append(Service(["--adapters", "--rescan", rescan, "--modbus-port", "0"],
                                    environment=launcher.environment))
        watching, keeping = services
        before = units(watching)
        assert sorted(before.values()) == [1, 2]
        launcher.tell("unplug 1")
        gone = lambda: [d["id"] for d in watching.request("/api/v1/devices")[1]["devices"] if d["state"] == "gone"]
        leaving = wait_for(gone)[0]
        modbus, failing = client(watching), client(keeping)
        try:
            assert exception_of(modbus.read_input_registers(0, 2, slave=before[leaving])) == 11
            assert exception_of(failing.read_input_registers(0, 2, slave=units(keeping)[leaving])) == 4
            status = failing.read_input_registers(200, 1, slave=units(keeping)[leaving]).registers[0]
            assert status >= 0x8000  # the library's negative status
        finally:
            failing.close()
        launcher.tell("plug 1")
        wait_for(lambda: not gone())
        assert units(watching) == before
        assert not modbus.read_input_registers(0, 2, slave=before[leaving]).isError()
        modbus.close()
    finally:
        for service in services:
            stop(service.process)
        launcher.stop()


@linux_only
def test_a_stopped_supply_fails_at_once_then_is_busy_past_two_seconds():
    launcher = Launcher("--bridge", "picox-640")
    service = Service(["--port", launcher.bridges[0], "--modbus-port", "0"])
    try:
        launcher.process.send_signal(signal.SIGSTOP)  # its answers stop; each read waits them out
        codes = []

        def read():
            modbus = client(service)
            codes.append(exception_of(modbus.read_input_registers(0, 6, slave=1)))
            modbus.close()

        readers = [threading.Thread(target=read) for _ in range(12)]
        for reader in readers:
            reader.start()
        for reader in readers:
            reader.join()
        assert 4 in codes and 6 in codes and set(codes) <= {4, 6}, codes
        modbus = client(service)
        assert modbus.read_input_registers(200, 1, slave=1).registers[0] >= 0x8000
        modbus.close()
    finally:
        launcher.process.send_signal(signal.SIGCONT)
        stop(service.process)
        launcher.stop()

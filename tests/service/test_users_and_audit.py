"""Users, roles, limits and the audit log through every door of `mavozarp serve`, with real
clients: what a viewer, an operator and an admin may do over HTTP (urllib and curl) and the
instrument socket, a limit refused alike at HTTP, the socket, MQTT (paho-mqtt through Mosquitto)
and Modbus (pymodbus), the audit line each leaves, wrong tokens, the admin's limits and audit
routes, a device found beyond its limits left as it is, sixteen clients across rotations, and a
full disk under the audit log (a tmpfs of the test's own)."""
import getpass
import json
import os
import socket
import struct
import subprocess
import threading
import time

import pytest

from conftest import SIM, Service, free_port, linux_only, run_tool, stop, tool_path, wait_for

LIMITS = {"max_power_command": 2.0, "refuse": ["KSWCMD=1"]}


def add_users(folder, *users):
    """A users file made by `mavozarp serve-user add`: (path, {name: token})."""
    path = str(folder / "users")
    tokens = {}
    for name, role in users:
        made = run_tool("serve-user", "add", name, role, tool_path(path))
        assert made.returncode == 0, made.stderr
        tokens[name] = made.stdout.strip()
    return path, tokens


def audit_lines(path):
    with open(path) as log:
        return [json.loads(line) for line in log]


class Connection:
    """One instrument socket connection, line by line."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.lines = self.socket.makefile()

    def ask(self, line):
        self.socket.sendall(line.encode() + b"\n")
        return self.lines.readline().rstrip("\n")

    def close(self):
        self.socket.close()


@pytest.fixture
def staffed(serve, tmp_path):
    """A service on the simulated head with a viewer, an operator and an admin, limits, an audit
    log and a Modbus door: (service, tokens, audit log path)."""
    users, tokens = add_users(tmp_path, ("vera", "viewer"), ("otto", "operator"), ("ada", "admin"))
    config = tmp_path / "serve.json"
    config.write_text(json.dumps({"users_file": users, "audit_log": str(tmp_path / "audit"),
                                  "limits": {"simulated": LIMITS}, "modbus_port": 0,
                                  "modbus_control": ["127.0.0.1"]}))
    service = serve("--config", str(config), "--simulated", "--allow-control")
    return service, tokens, str(tmp_path / "audit")


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def bearer(token):
    return {"Authorization": "Bearer " + token}


def test_each_role_at_http_and_the_socket_and_the_line_each_leaves(staffed):
    service, tokens, audit = staffed
    assert service.token is None  # no token of its own: the users' only
    # HTTP: a viewer reads, an operator sets within the limits, nobody beyond them.
    assert service.commands("simulated", ["?PCMD"], tokens["vera"])[0] == 200
    status, body, _ = service.commands("simulated", ["PCMD=1"], tokens["vera"])
    assert (status, body["error"]) == (403, "role")
    assert service.commands("simulated", ["PCMD=1.5"], tokens["otto"])[0] == 200
    status, body, _ = service.commands("simulated", ["PCMD=2.5"], tokens["ada"])
    assert (status, body["error"], body["message"]) == (403, "limit", "PCMD above 2.000 mW for this device")
    # The socket: the user of an AUTH for the rest of the connection.
    connection = Connection(service.sockets["simulated"])
    try:
        assert connection.ask("AUTH " + tokens["vera"]) == "OK"
        assert connection.ask("PCMD=1").startswith("ERR 403 role: changing a setting needs the operator role")
        assert connection.ask("AUTH " + tokens["otto"]) == "OK"
        assert connection.ask("pcmd=3") == "ERR 403 limit: PCMD above 2.000 mW for this device"
        assert connection.ask("KSWCMD=1") == "ERR 403 limit: KSWCMD=1 is never allowed on this device"
        assert connection.ask("PCMD=1.25") == "OK"
        assert connection.ask("?PCMD") == "1.250"
    finally:
        connection.close()

    expected = [("vera", "viewer", "http", "PCMD=1", "role"), ("otto", "operator", "http", "PCMD=1.5", 0),
                ("ada", "admin", "http", "PCMD=2.5", "limit"), ("vera", "viewer", "socket", "PCMD=1", "role"),
                ("otto", "operator", "socket", "pcmd=3", "limit"), ("otto", "operator", "socket", "KSWCMD=1", "limit"),
                ("otto", "operator", "socket", "PCMD=1.25", 0)]
    lines = audit_lines(audit)
    assert [(line["user"], line["role"], line["door"], line["command"], line["status"]) for line in lines] == expected
    assert all(line["device"] == "simulated" and line["client"] == "127.0.0.1" for line in lines)
    assert lines[2]["reply"] == "PCMD above 2.000 mW for this device"
    assert lines[1]["time"].endswith("Z") and len(lines[1]["time"]) == len("2026-12-08T23:59:01.250Z")

    # Who the dashboard's token is, and that a log is kept.
    access = service.request("/api/v1/access", headers=bearer(tokens["otto"]))[1]
    assert (access["user"], access["audit"]) == ({"name": "otto", "role": "operator"}, True)
    assert service.request("/api/v1/access")[1]["user"] is None


def test_five_wrong_tokens_leave_five_lines(staffed):
    service, tokens, audit = staffed
    for attempt in range(5):
        status, body, _ = service.commands("simulated", ["PCMD=1"], f"wrong-token-{attempt}")
        assert (status, body["error"]) == (401, "wrong-token")
    connection = Connection(service.sockets["simulated"])
    try:
        assert connection.ask("AUTH not-a-token").startswith("ERR 401 wrong-token")
    finally:
        connection.close()
    lines = audit_lines(audit)
    assert [(line["user"], line["role"], line["status"]) for line in lines] == [(None, None, "token")] * 6
    assert [line["command"] for line in lines] == ["PCMD=1"] * 5 + ["AUTH"]
    assert not any("wrong-token-" in json.dumps(line) for line in lines)  # a token is never written


def test_the_admins_routes_limits_and_audit(staffed):
    service, tokens, audit = staffed
    device = service.request("/api/v1/devices/simulated")[1]
    assert (device["limits"], device["beyond_limits"]) == (LIMITS, [])
    new = {"max_power_command": 3.0}
    put = {"Content-Type": "application/json"}

    def change(limits, token):
        return service.request("/api/v1/devices/simulated/limits", "PUT", json.dumps(limits),
                               {**put, **bearer(token)})

    status, body, _ = change(new, tokens["otto"])
    assert (status, body["error"]) == (403, "role")
    status, body, _ = change({"max_power_command": -1}, tokens["ada"])
    assert (status, body["error"]) == (400, "bad-limits") and "max_power_command" in body["message"]
    assert service.request("/api/v1/devices/simulated/limits", "PUT", "max_power_command=9",
                           {"Content-Type": "application/x-www-form-urlencoded", **bearer(tokens["ada"])})[0] == 415
    status, body, _ = change(new, tokens["ada"])
    assert (status, body["limits"], body["beyond_limits"]) == (200, new, [])
    assert service.request("/api/v1/devices")[1]["devices"][0]["limits"] == new
    assert service.commands("simulated", ["PCMD=2.5"], tokens["otto"])[0] == 200
    # Lowered below what is set: shown beyond at once, and left as it is.
    status, body, _ = change({"max_power_command": 2.0}, tokens["ada"])
    assert [(each["setting"], each["value"]) for each in body["beyond_limits"]] == [("PCMD", 2.5)]
    assert service.commands("simulated", ["?PCMD"])[1]["results"][0]["reply"] == "2.500"

    status, body, _ = service.request("/api/v1/audit", headers=bearer(tokens["otto"]))
    assert (status, body["error"]) == (403, "role")
    assert service.request("/api/v1/audit?limit=0", headers=bearer(tokens["ada"]))[0] == 400
    curl = subprocess.run(["curl", "-sS", "-H", "Authorization: Bearer " + tokens["ada"],
                           service.base + "/api/v1/audit?device=simulated&limit=2"],
                          capture_output=True, text=True, timeout=20)
    page = json.loads(curl.stdout)
    assert [(entry["user"], entry["command"]) for entry in page["entries"]] == [
        ("otto", "PCMD=2.5"), ("ada", 'LIMITS {"max_power_command":2.0}')]
    # Before them: the operator's refused PUT and the admin's first (a malformed one is no change).
    assert page["earlier"] == 2
    assert page["entries"][1]["role"] == "admin" and page["entries"][1]["status"] == 0
    # ... and the operator's refused read of the log, which names no device.
    assert [(line["command"], line["status"]) for line in audit_lines(audit)][-1] == ("GET /api/v1/audit", "role")


def test_limits_hold_at_modbus_and_writes_are_logged_under_the_address(staffed):
    from pymodbus.client import ModbusTcpClient
    service, _, audit = staffed
    unit = service.request("/api/v1/devices/simulated")[1]["modbus_unit"]
    for source, power, exception in [("127.0.0.1", 2.5, 3),  # beyond the limit: illegal data value
                                      ("127.0.0.1", 1.5, None),
                                      ("127.0.0.2", 1.0, 1)]:  # not a writer: illegal function
        modbus = ModbusTcpClient("127.0.0.1", port=service.modbus, timeout=10, retries=0,
                                 source_address=(source, 0))
        assert modbus.connect()
        try:
            answer = modbus.write_registers(0, list(struct.unpack(">HH", struct.pack(">f", power))), slave=unit)
            assert (answer.exception_code if answer.isError() else None) == exception
        finally:
            modbus.close()
    lines = audit_lines(audit)
    assert [(line["user"], line["door"], line["client"], line["command"], line["status"]) for line in lines] == [
        (None, "modbus", "127.0.0.1", "PCMD=2.5", "limit"), (None, "modbus", "127.0.0.1", "PCMD=1.5", 0),
        (None, "modbus", "127.0.0.2", "PCMD=1", "read-only")]


@linux_only
def test_a_users_file_others_may_read_is_refused_at_start(tmp_path):
    users, _ = add_users(tmp_path, ("otto", "operator"))
    os.chmod(users, 0o644)
    started = run_tool("serve", "--simulated", "--http-port", "0", "--users", users)
    assert started.returncode == 2
    assert "--users" in started.stderr and users in started.stderr


@linux_only  # a pseudo-terminal of its own, not a port of the Wine prefix
def test_a_device_set_beyond_before_the_service_is_shown_so_and_left_as_it_is(serve, tmp_path):
    # A supply of this test's own keeps its settings from one service to the next.
    sim = subprocess.Popen([SIM, "--bridge", "picox-640"], stdout=subprocess.PIPE, text=True)
    try:
        port = sim.stdout.readline().split()[-1]
        first = serve("--port", port, "--allow-control")
        device = first.request("/api/v1/devices")[1]["devices"][0]["id"]
        assert first.commands(device, ["PCMD=0.5", "PMEM=0.6"], first.token)[0] == 200
        first.stop()
        config = tmp_path / "serve.json"
        config.write_text(json.dumps({"limits": {device: {"max_power_command": 0.25}}}))
        second = serve("--config", str(config), "--port", port)
        beyond = wait_for(lambda: second.request("/api/v1/devices/" + device)[1]["beyond_limits"])
        unit = second.commands(device, ["?POWERUNITS"])[1]["results"][0]["reply"]
        assert [(each["setting"], each["value"], each["limit"], each["unit"]) for each in beyond][:2] == [
            ("PCMD", 0.5, 0.25, unit), ("PMEM", 0.6, 0.25, unit)]
        assert beyond[0]["text"] == f"PCMD 0.500 {unit} is above 0.250 {unit} for this device"
        replies = [result["reply"] for result in second.commands(device, ["?PCMD", "?PMEM"])[1]["results"]]
        assert replies == ["0.500", "0.600"]  # never changed by the service
    finally:
        stop(sim)


@linux_only
def test_a_limit_and_a_role_over_mqtt(serve, tmp_path):
    import paho.mqtt.client as mqtt
    from paho.mqtt.packettypes import PacketTypes
    from paho.mqtt.properties import Properties
    broker_port = free_port()
    (tmp_path / "mosquitto.conf").write_text(
        f"user {getpass.getuser()}\nlistener {broker_port} 127.0.0.1\nallow_anonymous true\n")
    broker = subprocess.Popen(["mosquitto", "-c", str(tmp_path / "mosquitto.conf")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    client = None
    try:
        wait_for(lambda: accepts(broker_port))
        users, tokens = add_users(tmp_path, ("vera", "viewer"), ("otto", "operator"))
        config = tmp_path / "serve.json"
        config.write_text(json.dumps({"users_file": users, "audit_log": str(tmp_path / "audit"),
                                      "limits": {"simulated": LIMITS}}))
        serve("--config", str(config), "--simulated", "--allow-control", "--mqtt",
              f"mqtt://127.0.0.1:{broker_port}", "--mqtt-machine", "lab")
        replies, arrived = {}, threading.Event()

        def on_message(_client, _userdata, message):
            replies[message.topic] = json.loads(message.payload)
            arrived.set()

        client = mqtt.Client("users-test", protocol=mqtt.MQTTv5)
        client.on_message = on_message
        client.connect("127.0.0.1", broker_port)
        client.subscribe("replies/#", qos=1)
        client.loop_start()

        def publish(number, command, token=None):
            properties = Properties(PacketTypes.PUBLISH)
            properties.ResponseTopic = f"replies/{number}"
            if token:
                properties.UserProperty = [("token", token)]
            client.publish("mavozarp/lab/simulated/command", json.dumps({"id": number, "command": command}),
                           qos=1, properties=properties).wait_for_publish()

        def send(number, command, token=None):
            publish(number, command, token)
            return wait_for(lambda: replies.get(f"replies/{number}"), seconds=15)

        def subscribed(number):
            publish(number, "?HTYPE")
            deadline = time.monotonic() + 1
            while time.monotonic() < deadline and f"replies/{number}" not in replies:
                time.sleep(0.05)
            return f"replies/{number}" in replies

        # Once the service has subscribed, a query is answered.
        probe = iter(range(1000, 1100))
        wait_for(lambda: subscribed(next(probe)), seconds=20)
        assert send(1, "PCMD=1")["error"] == "token-required"
        assert send(2, "PCMD=1", tokens["vera"])["error"] == "role"
        assert send(3, "PCMD=2.5", tokens["otto"])["message"] == "PCMD above 2.000 mW for this device"
        assert send(4, "PCMD=1.5", tokens["otto"])["results"][0]["status"] == 0
        lines = audit_lines(tmp_path / "audit")
        assert [(line["user"], line["door"], line["status"]) for line in lines] == [
            (None, "mqtt", "token"), ("vera", "mqtt", "role"), ("otto", "mqtt", "limit"), ("otto", "mqtt", 0)]
    finally:
        if client:
            client.loop_stop()
            client.disconnect()
        stop(broker, expect_clean=False)


@linux_only
def test_sixteen_clients_lose_no_line_across_rotations(serve, tmp_path):
    users, tokens = add_users(tmp_path, ("otto", "operator"))
    audit = tmp_path / "audit"
    service = serve("--simulated", "--allow-control", "--users", users, "--audit-log", str(audit),
                    "--audit-log-size", "4096", "--audit-log-keep", "100")
    clients, each = 16, 15
    failures = []

    def client(number):
        try:
            for i in range(each):
                status, body, _ = service.commands("simulated", [f"PCMD={number}.{i + 100}"], tokens["otto"])
                if status != 200:
                    failures.append(body)
        except Exception as error:  # told to the test, not lost with the thread
            failures.append(repr(error))

    threads = [threading.Thread(target=client, args=(number,)) for number in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not failures
    files = sorted(tmp_path.glob("audit.*"), key=lambda path: -int(path.suffix[1:])) + [audit]
    assert len(files) > 2  # it rotated
    commands = [line["command"] for path in files for line in audit_lines(path) if line["status"] == 0]
    assert len(commands) == clients * each
    for number in range(clients):  # each client's in the order it sent them
        assert [c for c in commands if c.startswith(f"PCMD={number}.")] == [
            f"PCMD={number}.{i + 100}" for i in range(each)]


@linux_only
def test_a_full_disk_refuses_settings_and_queries_still_answer(tmp_path):
    folder = tmp_path / "disk"
    folder.mkdir()
    users, tokens = add_users(tmp_path, ("otto", "operator"))
    # A 64 KiB tmpfs of the service's own, mostly filled before it starts.
    script = (f"mount -t tmpfs -o size=64k none {folder} && head -c 53248 /dev/zero > {folder}/filler"
              ' && exec "$@"')
    service = Service(["--simulated", "--allow-control", "--users", users, "--audit-log", f"{folder}/audit"],
                      wrap=["unshare", "--user", "--map-root-user", "--mount", "sh", "-c", script, "sh"])
    try:
        statuses = []
        for value in range(200):
            status, body, _ = service.commands("simulated", [f"PCMD=0.{value + 100}"], tokens["otto"])
            statuses.append(status)
            if status != 200:
                assert (status, body["error"]) == (503, "audit")
                break
        assert statuses[0] == 200 and statuses[-1] == 503
        status, body, _ = service.commands("simulated", ["?PCMD"], tokens["otto"])
        assert (status, body["results"][0]["reply"]) == (200, f"0.{len(statuses) + 98}")
        connection = Connection(service.sockets["simulated"])
        try:
            assert connection.ask("AUTH " + tokens["otto"]) == "OK"
            assert connection.ask("PCMD=1").startswith("ERR 503 audit: ")
            assert connection.ask("?HTYPE") != ""
        finally:
            connection.close()
    finally:
        stop(service.process)

"""Devices in worker processes: a frozen, slow or silent supply holds up no other device; a worker
killed is started again while its device's requests are answered at once; the service's end,
orderly or not, leaves no worker behind. Supplies come from mavozarp-sim processes of the test's
own (paced at their real line speed where the rate matters), which it freezes with SIGSTOP: every
transfer to a frozen supply then waits out its time-out. Rates and latencies are compared within
one run, over bounded counts."""
import os
import signal
import socket
import subprocess
import threading
import time
from contextlib import contextmanager
from urllib.parse import quote

import pytest

from conftest import LAUNCH, SIM, UNDER_WINE, WORKERS, Service, linux_only, stop, wait_for

pytestmark = pytest.mark.skipif(bool(WORKERS), reason="the service's workers themselves")

BRIDGE = ["--bridge", "picox-640"]


class Sim:
    """A mavozarp-sim process: its supplies' paths; frozen (SIGSTOP) and thawed by its pid."""

    def __init__(self, *arguments):
        self.process = subprocess.Popen([SIM, *arguments], stdout=subprocess.PIPE, text=True)
        self.paths = []
        for line in self.process.stdout:
            if line.strip() == "ready":
                break
            self.paths.append(line.split()[-1])

    def freeze(self):
        self.process.send_signal(signal.SIGSTOP)

    def thaw(self):
        self.process.send_signal(signal.SIGCONT)


@pytest.fixture
def sim():
    started = []

    def start(*arguments):
        started.append(Sim(*arguments))
        return started[-1]

    yield start
    for process in started:
        process.thaw()
        stop(process.process)


def ports(*paths):
    return [word for path in paths for word in ("--port", path)]


def serve_every(serve, paths):
    """A service of the supplies on the paths, started again (a few times at the most) while one of
    them could not be identified at its start: the paced line's time-outs, as in seconds_for()."""
    for _ in range(3):
        service = serve(*ports(*paths))
        if set(service.sockets) == set(paths):
            return service
        service.stop()
    raise AssertionError("the paced supplies could not all be identified")


def devices(service):
    return {device["id"]: device for device in service.request("/api/v1/devices")[1]["devices"]}


def alive(pid):
    """Whether the process runs (a zombie, ended but not yet reaped, does not)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class Instrument:
    """A connection to a device's instrument socket."""

    def __init__(self, service, device):
        self.socket = socket.create_connection(("127.0.0.1", service.sockets[device]), timeout=30)
        self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.lines = self.socket.makefile("r")

    def ask(self, line):
        self.socket.sendall(line.encode() + b"\n")
        return self.lines.readline().rstrip("\n")

    def close(self):
        self.lines.close()
        self.socket.close()


# The library's own failure of an exchange on a serial line: a paced emulator thread kept off the
# processor past the line's time-out (a machine loaded far beyond its cores) misses its answer as
# a real supply never would. It costs its client the time-out, which the rate then shows.
LINE_FAILURE = "ERR -300 "

def seconds_for(service, devices_asked, count):
    """The time `count` queries take on each device at once, one client per device."""
    clients = [Instrument(service, device) for device in devices_asked]
    start = threading.Barrier(len(clients) + 1)
    failures = []

    def run(client):
        start.wait()
        for _ in range(count):
            reply = client.ask("?P")
            if reply.startswith("ERR") and not reply.startswith(LINE_FAILURE):
                failures.append(reply)

    threads = [threading.Thread(target=run, args=(client,)) for client in clients]
    for thread in threads:
        thread.start()
    start.wait()
    began = time.monotonic()
    for thread in threads:
        thread.join()
    took = time.monotonic() - began
    for client in clients:
        client.close()
    assert not failures
    return took


def rates(service, groups, count=20, rounds=3):
    """Queries per second of each group of devices, asked at once (a client per device): the
    groups take turns, round after round, so that both see the same load on the machine."""
    seconds = [0.0] * len(groups)
    for _ in range(rounds):
        for i, devices_asked in enumerate(groups):
            seconds[i] += seconds_for(service, devices_asked, count)
    return [len(devices_asked) * count * rounds / took for devices_asked, took in zip(groups, seconds)]


@contextmanager
def asking(service, device, clients):
    """`clients` HTTP clients asking the device ?P again and again until the block ends."""
    done = threading.Event()

    def run():
        while not done.is_set():
            service.commands(quote(device, safe=""), ["?P"])

    threads = [threading.Thread(target=run) for _ in range(clients)]
    for thread in threads:
        thread.start()
    try:
        yield
    finally:
        done.set()
        for thread in threads:
            thread.join()


def latencies(service, device, count):
    client = Instrument(service, device)
    taken = []
    for _ in range(count):
        began = time.monotonic()
        assert not client.ask("?P").startswith("ERR")
        taken.append(time.monotonic() - began)
    client.close()
    return sorted(taken)


def p99(times):
    return times[len(times) * 99 // 100]


@linux_only
def test_the_simulated_head_does_not_wait_for_a_frozen_supply(serve, sim, tmp_path):
    frozen = sim(*BRIDGE)
    path = frozen.paths[0]
    service = serve("--simulated", *ports(path))
    frozen.freeze()
    with asking(service, path, 24):
        time.sleep(0.5)  # every client waits on the frozen supply
        assert p99(latencies(service, "simulated", 1000)) < 0.005

    # In one process the library's lock makes the head wait for the frozen supply's transfer that
    # holds it, but for no more than that: not for the 24 clients queued on the supply.
    service.stop()
    frozen.thaw()
    config = tmp_path / "serve.json"
    config.write_text('{"workers": "none", "simulated": true}')
    alone = serve("--config", str(config), *ports(path))
    assert devices(alone)[path]["worker"] is None
    frozen.freeze()
    one = max(timed(lambda: alone.commands(quote(path, safe=""), ["?P"])) for _ in range(3))
    with asking(alone, path, 24):
        time.sleep(0.5)
        assert p99(latencies(alone, "simulated", 60)) < 2 * one + 0.2


def timed(action):
    began = time.monotonic()
    action()
    return time.monotonic() - began


@linux_only
def test_paced_supplies_answer_side_by_side(serve, sim):
    paced = sim("--paced", *BRIDGE * 4)
    service = serve_every(serve, paced.paths)
    alone, together = rates(service, [paced.paths[:1], paced.paths])
    assert together >= 3.5 * alone, (alone, together)


@linux_only
def test_a_silent_supply_leaves_the_others_their_rate(serve, sim):
    healthy = sim("--paced", *BRIDGE * 3)
    silent = sim("--paced", *BRIDGE)
    service = serve_every(serve, healthy.paths + silent.paths)
    before, = rates(service, [healthy.paths], count=40, rounds=1)
    silent.freeze()
    with asking(service, silent.paths[0], 1):
        during, = rates(service, [healthy.paths], count=40, rounds=1)
    assert during >= 0.9 * before, (before, during)


@contextmanager
def querying(service, devices_asked):
    """Queries the devices through the HTTP API until the block ends; every answer is kept."""
    done = threading.Event()
    answers = []

    def run(device):
        while not done.is_set():
            status, batch, _ = service.commands(quote(device, safe=""), ["?P"])
            answers.append((device, status, batch))

    threads = [threading.Thread(target=run, args=(device,)) for device in devices_asked]
    for thread in threads:
        thread.start()
    try:
        yield answers
    finally:
        done.set()
        for thread in threads:
            thread.join()


def kill(pid):
    """Ends a worker at once: SIGKILL, or under Wine TerminateProcess (its pid is Windows')."""
    if UNDER_WINE:
        subprocess.run([*LAUNCH, "taskkill", "/F", "/PID", str(pid)], capture_output=True, timeout=30)
    else:
        os.kill(pid, signal.SIGKILL)


def test_a_killed_worker_is_started_again_and_nothing_else_notices(serve, supplies):
    path = supplies["bridge"]
    service = serve("--simulated", *ports(path, supplies["text"]))
    first = devices(service)[path]["worker"]
    assert first["restarts"] == 0

    with querying(service, ["simulated", supplies["text"]]) as others:
        kill(first["pid"])
        wait_for(lambda: devices(service)[path]["worker"]["pid"] not in (None, first["pid"]), seconds=20)
        assert devices(service)[path]["worker"]["restarts"] == 1
        assert wait_for(lambda: service.commands(quote(path, safe=""), ["?P"])[0] == 200)
    assert others and all(status == 200 for _, status, _ in others)
    assert {device for device, _, _ in others} == {"simulated", supplies["text"]}


@linux_only
def test_requests_are_answered_at_once_while_a_worker_cannot_come_back(serve, sim):
    frozen = sim(*BRIDGE)
    path = frozen.paths[0]
    service = serve("--simulated", *ports(path))
    frozen.freeze()  # the new worker cannot identify the head
    kill(devices(service)[path]["worker"]["pid"])
    wait_for(lambda: devices(service)[path]["state"] == "failing")
    for _ in range(5):
        began = time.monotonic()
        status, answer, headers = service.commands(quote(path, safe=""), ["?P"])
        assert (status, answer["error"], headers["Retry-After"]) == (503, "busy", "1")
        assert service.line(path, "?P").startswith("ERR 503 busy: ")
        assert time.monotonic() - began < 1
    failing = devices(service)[path]
    assert failing["state"] == "failing" and "worker" in failing["reason"]
    assert service.line("simulated", "?P") and not service.line("simulated", "?P").startswith("ERR")
    frozen.thaw()
    wait_for(lambda: devices(service)[path]["state"] == "answering", seconds=40)
    assert devices(service)[path]["worker"]["restarts"] >= 1


@linux_only
def test_sigterm_ends_the_service_and_every_worker(serve, sim):
    supplies = sim(*BRIDGE, "--text")
    service = serve("--simulated", "--adapters", *ports(*supplies.paths),
                    environment={"MAVOFTCI2C_EMULATED_SUPPLIES": "picox-640"})
    workers = {device["worker"]["pid"] for device in devices(service).values() if device["worker"]}
    assert len(workers) == 3 and all(alive(pid) for pid in workers)
    began = time.monotonic()
    service.process.send_signal(signal.SIGTERM)
    assert service.process.wait(timeout=10) == 0
    assert time.monotonic() - began < 2
    assert not any(alive(pid) for pid in workers)


@linux_only
def test_a_killed_service_leaves_no_worker_holding_its_ports(serve, sim):
    supplies = sim(*BRIDGE, "--text")
    service = Service(ports(*supplies.paths))
    try:
        workers = [device["worker"]["pid"] for device in devices(service).values()]
    finally:
        service.process.kill()
        service.process.wait()
    began = time.monotonic()
    wait_for(lambda: not any(alive(pid) for pid in workers), seconds=2)
    assert time.monotonic() - began < 2
    again = serve(*ports(*supplies.paths))
    assert {device["state"] for device in devices(again).values()} == {"answering"}
    assert set(devices(again)) == set(supplies.paths)

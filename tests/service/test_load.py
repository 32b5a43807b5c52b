"""Bounded load on loopback: 32 keep-alive clients at once, mixed reads and streams, with no error
and no growth of the service's descriptors or memory afterwards. CI runs 200 requests per client;
the full size is MAVOZARP_LOAD_REQUESTS=2000."""
import http.client
import os
import threading

from conftest import linux_only, wait_for

CLIENTS = 32
REQUESTS = int(os.environ.get("MAVOZARP_LOAD_REQUESTS", "200"))
ROUTES = ["/api/v1/health", "/api/v1/devices", "/api/v1/devices/simulated",
          "/api/v1/devices/simulated/status", "/metrics"]


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def client(port, count, failures):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        for number in range(count):
            if number % 50 == 49:  # now and then a stream, read for one event and left
                stream = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
                stream.request("GET", "/api/v1/devices/simulated/stream?commands=%3FP&interval=0.05")
                answer = stream.getresponse()
                if answer.status != 200 or not answer.readline().startswith(b"event: sample"):
                    failures.append("stream")
                stream.close()
                continue
            if number % 7 == 0:
                connection.request("POST", "/api/v1/devices/simulated/commands",
                                   '{"commands": ["?P", "?C"]}',
                                   {"Content-Type": "application/json"})
            else:
                connection.request("GET", ROUTES[number % len(ROUTES)])
            answer = connection.getresponse()
            answer.read()
            if answer.status != 200:
                failures.append(answer.status)
    except OSError as error:
        failures.append(repr(error))
    finally:
        connection.close()


def run(port, count):
    failures = []
    threads = [threading.Thread(target=client, args=(port, count, failures))
               for _ in range(CLIENTS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return failures


@linux_only
def test_keep_alive_clients_under_load(serve):
    service = serve("--simulated")
    pid = service.process.pid
    failures = run(service.port, 50)
    assert failures == [], failures[:5]  # warm-up: every worker and stream path used once
    wait_for(lambda: descriptors(pid) <= 12, seconds=20)
    before_fds, before_memory = descriptors(pid), resident_kib(pid)
    assert run(service.port, REQUESTS) == []
    wait_for(lambda: descriptors(pid) <= before_fds, seconds=20)
    assert resident_kib(pid) - before_memory < 4096

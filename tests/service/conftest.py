"""Starts what the service tests need, each stopped by its process id, also when a test fails:
the virtual supplies of mavozarp-sim and `mavozarp serve` itself, on loopback and free ports.

With MAVOZARP_SERVE_WORKERS=none every service is started with `--workers none` (every device in
its one process), so the suite runs in both of the service's modes.

The same tests run against the Windows build under Wine when MAVOZARP_SERVE_UNDER=wine
(scripts/test-wine.sh): MAVOZARP_TOOL is then mavozarp.exe, beside MavoZARP.dll and the emulated
adapter library, the supplies are COM ports of the Wine prefix (WINEPREFIX), and the service is
stopped as a console's Ctrl+C, which Wine delivers for SIGINT."""
import json
import os
import resource
import signal
import socket
import ssl
import subprocess
import time
import urllib.error
import urllib.request

import pytest

TOOL = os.environ["MAVOZARP_TOOL"]
SIM = os.environ["MAVOZARP_SIM"]
ADAPTER_DIR = os.environ.get("MAVOZARP_ADAPTER_DIR", "")  # the emulated adapter library's folder
UNDER_WINE = os.environ.get("MAVOZARP_SERVE_UNDER") == "wine"
LAUNCH = [os.environ.get("WINE", "wine")] if UNDER_WINE else []
STOP_SIGNAL = signal.SIGINT if UNDER_WINE else signal.SIGTERM
WORKERS = ["--workers", os.environ["MAVOZARP_SERVE_WORKERS"]] if "MAVOZARP_SERVE_WORKERS" in os.environ else []
linux_only = pytest.mark.skipif(UNDER_WINE, reason="Linux only (descriptor limits, /proc, load)")
# TLS is the HTTP layer's, the same wherever the devices run: tested once, in the run with workers
# (and not under Wine: the Windows build has no TLS).
over_tls = pytest.mark.skipif(UNDER_WINE or bool(WORKERS),
                              reason="TLS: Linux only, tested in the run with workers")


def tool_path(path):
    """A path as the tool under test takes it where it is not an option's value: under Wine a
    Windows path (the Windows build's command line reads "/tmp/..." as a Windows-style option)."""
    return "Z:" + str(path).replace("/", "\\") if UNDER_WINE else str(path)


def run_tool(*arguments, environment=None, timeout=20):
    """The tool run to its end: its completed process, output as text."""
    env = dict(os.environ, **(environment or {}))
    return subprocess.run([*LAUNCH, TOOL, *arguments], capture_output=True, text=True, env=env,
                          timeout=timeout)


def stop(process, expect_clean=True):
    if process.poll() is None:
        process.send_signal(STOP_SIGNAL)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise AssertionError(f"did not stop within 10 s of {STOP_SIGNAL.name}")
    if expect_clean:
        assert process.returncode == 0, process.stderr.read() if process.stderr else ""


@pytest.fixture(scope="session")
def supplies():
    """A bridge supply and a text supply on pseudo-terminals: {"bridge": path, "text": path}."""
    process = subprocess.Popen([SIM, "--bridge", "picox-640", "--text"], stdout=subprocess.PIPE,
                               text=True)
    paths, links = {}, []
    try:
        for line in process.stdout:
            words = line.split()
            if words == ["ready"]:
                break
            paths[words[0]] = words[-1]
        if UNDER_WINE:  # each pseudo-terminal as a COM port of the prefix
            for number, kind in enumerate(sorted(paths), start=21):
                links.append(os.path.join(os.environ["WINEPREFIX"], "dosdevices", f"com{number}"))
                os.symlink(paths[kind], links[-1])
                paths[kind] = f"COM{number}"
        yield paths
    finally:
        for link in links:
            os.unlink(link)
        stop(process)


class Certificates:
    """Made by the openssl command for one test run in a temporary folder, never kept: a test CA
    and, signed by it for one service key (readable by its owner only), the certificates `good`
    (localhost and 127.0.0.1), `expired` and `wrong_host` (elsewhere.example)."""

    def __init__(self, folder):
        def openssl(*arguments):
            subprocess.run(["openssl", *arguments], cwd=folder, check=True, capture_output=True)

        new_key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
        openssl("req", "-x509", *new_key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
                "-subj", "/CN=MavoZARP test CA")
        openssl("req", *new_key, "-keyout", "service.key", "-out", "service.csr",
                "-subj", "/CN=localhost")
        self.ca, self.key = str(folder / "ca.pem"), str(folder / "service.key")
        os.chmod(self.key, 0o600)
        for name, names, days in [("good", "DNS:localhost,IP:127.0.0.1", "2"),
                                  ("expired", "DNS:localhost,IP:127.0.0.1", "-1"),
                                  ("wrong_host", "DNS:elsewhere.example", "2")]:
            (folder / f"{name}.ext").write_text(f"subjectAltName={names}\n")
            openssl("x509", "-req", "-in", "service.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-days", days, "-extfile", f"{name}.ext",
                    "-out", f"{name}.pem")
            setattr(self, name, str(folder / f"{name}.pem"))

    def arguments(self, certificate=None):
        return ["--tls-cert", certificate or self.good, "--tls-key", self.key]


@pytest.fixture(scope="session")
def certificates(tmp_path_factory):
    return Certificates(tmp_path_factory.mktemp("certificates"))


class Service:
    """A running `mavozarp serve`: its HTTP base address, its instrument sockets by device and its
    Modbus port (when it serves Modbus); over TLS (`tls`, the client's context trusting CA) when
    started with a certificate; `wrap` runs it through a program that ends by executing it (so its
    process id stays the service's)."""

    def __init__(self, arguments, environment=None, descriptors=None, ca=None, wrap=()):
        env = dict(os.environ, LD_LIBRARY_PATH=ADAPTER_DIR, MAVOFTCI2C_EMULATED_SUPPLIES="")
        env.update(environment or {})
        command = [*wrap, *LAUNCH, TOOL, "serve", "--http-port", "0", "--instrument-port", "0", *WORKERS,
                   *arguments]
        # A lowered descriptor limit makes floods up to it cheap (Windows has no such limit).
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (descriptors, descriptors))
                 ) if descriptors and not UNDER_WINE else None
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, env=env, preexec_fn=limit)
        self.sockets = {}
        self.dashboard = None
        self.tls = ssl.create_default_context(cafile=ca) if ca else None
        self.modbus = None
        for line in self.process.stdout:
            text = line.strip()
            if " on instrument socket " in text:
                device, address = text[len("mavozarp serve: "):].split(" on instrument socket ")
                self.sockets[device] = int(address.rsplit(":", 1)[1])
            elif "HTTP API on " in text:
                self.base = text.split("HTTP API on ")[1].removesuffix("/api/v1")
                self.port = int(self.base.rsplit(":", 1)[1])
            elif text.startswith("mavozarp serve: Modbus TCP on "):
                self.modbus = int(text.split(";")[0].rsplit(":", 1)[1])
            elif "dashboard: " in text:
                self.dashboard = text.split("dashboard: ")[1]
            if "read-only" in text or "control allowed" in text:
                break
        else:
            raise AssertionError("the service did not start: " + self.process.stderr.read())

    @property
    def token(self):
        return self.dashboard.split("#token=")[1] if "#token=" in (self.dashboard or "") else None

    def request(self, path, method="GET", body=None, headers=None, timeout=10):
        """(status, parsed JSON or text, headers) of one request."""
        data = body.encode() if isinstance(body, str) else body
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=timeout, context=self.tls) as answer:
                status, text, got = answer.status, answer.read().decode(), answer.headers
        except urllib.error.HTTPError as error:
            status, text, got = error.code, error.read().decode(), error.headers
        kind = got.get("Content-Type", "")
        return status, (json.loads(text) if kind.startswith("application/json") else text), got

    def commands(self, device, commands, token=None, headers=None):
        all_headers = {"Content-Type": "application/json", **(headers or {})}
        if token:
            all_headers["Authorization"] = "Bearer " + token
        return self.request(f"/api/v1/devices/{device}/commands", "POST",
                            json.dumps({"commands": commands}), all_headers)

    def line(self, device, text, timeout=5):
        """One line sent to the device's instrument socket, its reply line back."""
        with socket.create_connection(("127.0.0.1", self.sockets[device]), timeout=timeout) as s:
            s.sendall(text.encode() + b"\n")
            return s.makefile().readline().rstrip("\n")

    def stop(self):
        stop(self.process)


@pytest.fixture
def serve():
    """serve(arguments...) starts a service (ca=: over TLS, trusting it); every one started is
    stopped after the test."""
    started = []

    def start(*arguments, environment=None, descriptors=None, ca=None):
        service = Service(list(arguments), environment, descriptors, ca)
        started.append(service)
        return service

    yield start
    # Every one is stopped even when one of them fails to stop cleanly.
    failures = []
    for service in started:
        try:
            stop(service.process)
        except AssertionError as failure:
            failures.append(failure)
    if failures:
        raise failures[0]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, seconds=10, step=0.05):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    raise AssertionError("timed out waiting")

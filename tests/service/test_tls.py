"""The HTTP API, its event streams and the dashboard over TLS, with clients we did not write: curl
trusting the test CA and refusing an expired and a wrong-host certificate, headless Chromium; a
plain HTTP request to the TLS port; files that cannot serve refused at start. One service over TLS
for the module (control allowed); the certificates come from conftest's `certificates`."""
import base64
import hashlib
import json
import os
import socket
import subprocess

import pytest

from conftest import Service, over_tls, run_tool, stop
from test_cross_site import headless_chromium, needs_browser, plotted_power
from test_hostile_clients import drain_until_closed

pytestmark = over_tls


@pytest.fixture(scope="module")
def service(certificates):
    started = Service(["--simulated", "--allow-control", *certificates.arguments()],
                      ca=certificates.ca)
    yield started
    stop(started.process)


def curl(*arguments):
    return subprocess.run(["curl", "-sS", "--max-time", "10", *arguments], capture_output=True,
                          text=True)


def test_curl_trusting_the_test_ca(service, certificates):
    assert service.base.startswith("https://127.0.0.1:")
    assert service.dashboard.startswith(service.base + "/#token=")
    trusting = ["--cacert", certificates.ca]
    health = curl(*trusting, service.base + "/api/v1/health")
    assert health.returncode == 0 and json.loads(health.stdout)["status"] == "ok", health.stderr
    # A setting with the token; the instrument socket beside it stays plain.
    sent = curl(*trusting, "-H", "Content-Type: application/json",
                "-H", f"Authorization: Bearer {service.token}",
                "--data", json.dumps({"commands": ["PCMD=1.25"]}),
                service.base + "/api/v1/devices/simulated/commands")
    assert json.loads(sent.stdout)["results"][0]["status"] == 0, sent.stdout + sent.stderr
    assert service.line("simulated", "?PCMD") == "1.250"
    # A request target in absolute form names the https URL.
    absolute = curl(*trusting, "--request-target", service.base + "/api/v1/health",
                    service.base + "/")
    assert json.loads(absolute.stdout)["status"] == "ok", absolute.stdout + absolute.stderr


def test_an_event_stream_over_tls(service, certificates):
    url = service.base + "/api/v1/devices/simulated/stream?commands=?P&interval=0.1"
    reader = subprocess.Popen(["curl", "-sN", "--max-time", "20", "--cacert", certificates.ca, url],
                              stdout=subprocess.PIPE, text=True)
    try:
        events = (line for line in reader.stdout if line.startswith("data: "))
        reading = json.loads(next(events)[len("data: "):])["readings"][0]
        assert reading["command"] == "?P" and float(reading["reply"]) >= 0
    finally:
        reader.kill()
        reader.wait()


def test_a_plain_request_to_the_tls_port_is_told_and_closed(service):
    with socket.create_connection(("127.0.0.1", service.port), timeout=5) as s:
        s.sendall(f"GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1:{service.port}\r\n\r\n".encode())
        answer = drain_until_closed(s, seconds=5)
    assert answer.startswith(b"HTTP/1.1 400 ") and answer.endswith(b"use https:// here.\n"), answer
    # As a person meets it: curl reads the answer whole (its length is right).
    plain = curl("-w", "%{http_code}", service.base.replace("https://", "http://") + "/")
    assert plain.returncode == 0 and plain.stdout.endswith("here.\n400"), plain.stderr
    assert service.request("/api/v1/health")[0] == 200


def test_curl_refuses_an_expired_and_a_wrong_host_certificate(serve, certificates):
    for certificate, refusal, warning in [
            (certificates.expired, "certificate has expired", "the certificate expired on"),
            (certificates.wrong_host, "no alternative certificate subject name matches",
             "the certificate names none of the names clients may reach the service by")]:
        other = serve("--simulated", *certificates.arguments(certificate), ca=certificates.ca)
        refused = curl("--cacert", certificates.ca, other.base + "/api/v1/health")
        assert refused.returncode == 60 and refusal in refused.stderr, refused.stderr
        other.stop()
        # The service served it, and said at start what clients would do.
        assert f"mavozarp serve: warning: {certificate}: {warning}" in other.process.stderr.read()


def test_files_that_cannot_serve_are_refused_at_start(certificates, tmp_path):
    def openssl(*arguments):
        subprocess.run(["openssl", *arguments], check=True, capture_output=True)

    readable, foreign, locked = (str(tmp_path / name) for name in ["readable", "foreign", "locked"])
    subprocess.run(["cp", certificates.key, readable], check=True)
    os.chmod(readable, 0o644)
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", foreign)
    openssl("pkey", "-in", certificates.key, "-aes256", "-passout", "pass:secret", "-out", locked)
    for key in [foreign, locked]:
        os.chmod(key, 0o600)
    config = tmp_path / "serve.json"
    config.write_text(json.dumps({"simulated": True, "tls_cert": certificates.good}))
    good, missing = certificates.good, str(tmp_path / "missing.pem")
    for arguments, refusal in [
            (["--tls-cert", missing, "--tls-key", certificates.key], "cannot read"),
            (["--tls-cert", good, "--tls-key", readable], "may be read by others than its owner"),
            (["--tls-cert", good, "--tls-key", foreign], "does not belong to the certificate"),
            (["--tls-cert", good, "--tls-key", locked], "protected by a passphrase"),
            (["--tls-cert", good], "go together"),
            (["--config", str(config)], "go together")]:
        # Refused before any device opens: a service that started anyway would time the run out.
        refused = run_tool("serve", "--simulated", "--http-port", "0", "--instrument-port", "0",
                           *arguments, timeout=10)
        assert refused.returncode == 2 and refusal in refused.stderr, (arguments, refused.stderr)


@needs_browser
def test_the_dashboard_over_https(service, certificates):
    # The browser trusts the service's key alone (its SPKI hash), not every certificate.
    public_key = subprocess.run(["openssl", "pkey", "-in", certificates.key, "-pubout", "-outform",
                                 "der"], check=True, capture_output=True).stdout
    spki = base64.b64encode(hashlib.sha256(public_key).digest()).decode()
    with headless_chromium(f"--ignore-certificate-errors-spki-list={spki}") as browser:
        assert float(plotted_power(browser, service.dashboard).split()[0]) >= 0  # "1.350 mW"
        # A command from the page carries its https origin, which the service takes as its own.
        results = browser.execute_async_script("""
            const done = arguments[arguments.length - 1];
            fetch('/api/v1/devices/simulated/commands', {method: 'POST', headers: {
                    'Content-Type': 'application/json', Authorization: `Bearer ${arguments[0]}`},
                  body: JSON.stringify({commands: ['PCMD=0.75']})})
              .then(answer => answer.json()).then(done, failure => done(String(failure)));""",
                                               service.token)
    assert results["results"][0]["status"] == 0, results
    assert service.line("simulated", "?PCMD") == "0.750"

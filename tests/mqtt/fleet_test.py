#!/usr/bin/python3
"""Two `mavozarp serve` machines on one Mosquitto broker, watched and commanded by paho-mqtt
clients: readings of both arrive; commands get exactly one reply (MQTT 5 response topic, and the
3.1.1 reply_to field); bad messages get an error reply; a read-only machine refuses settings; a
broker restart loses no sample taken while it was down and duplicates none; a killed machine's
last will arrives.

Usage: fleet_test.py MAVOZARP MAVOZARP_SIM EMULATED_ADAPTER_DIR
"""
import getpass
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

TOOL, SIM, ADAPTER_DIR = sys.argv[1:4]
INTERVAL = 0.1
started = []  # every process this test starts, stopped by its id at the end


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_until(condition, what, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def start(arguments, environment=None, **kwargs):
    process = subprocess.Popen(arguments, env=environment, **kwargs)
    started.append(process)
    return process


def make_certificates(folder):
    """A CA and a certificate for 127.0.0.1 signed by it."""
    def openssl(*arguments):
        subprocess.run(["openssl"] + list(arguments), cwd=folder, check=True, capture_output=True)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "1", "-subj", "/CN=test-ca")
    openssl("req", *key, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    with open(os.path.join(folder, "san.ext"), "w") as extension:
        extension.write("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.pem", "-days", "1", "-extfile", "san.ext")


class Broker:
    def __init__(self, folder):
        self.port = free_port()
        self.tls_port = free_port()
        self.config = os.path.join(folder, "mosquitto.conf")
        make_certificates(folder)
        # A broker started as root would otherwise read its files as the user "mosquitto".
        # Persistence keeps the watcher's session (and what is queued for it) across the restart,
        # so whether the watcher or a service reconnects first does not matter.
        with open(self.config, "w") as config:
            config.write(f"user {getpass.getuser()}\n"
                         f"listener {self.port} 127.0.0.1\nallow_anonymous true\n"
                         f"persistence true\npersistence_location {folder}/\n"
                         f"listener {self.tls_port} 127.0.0.1\ncafile {folder}/ca.pem\n"
                         f"certfile {folder}/server.pem\nkeyfile {folder}/server.key\n")
        self.log = open(os.path.join(folder, "mosquitto.log"), "ab")
        self.process = None

    def start(self):
        self.process = start(["mosquitto", "-c", self.config], stdout=self.log, stderr=self.log)
        wait_until(self.accepts, "the broker to listen")

    def accepts(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
            return True
        except OSError:
            return False

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class Watcher:
    """Subscribes to everything with a session the broker keeps, and collects what arrives."""

    def __init__(self, port):
        self.lock = threading.Lock()
        self.messages = []  # (topic, payload text, dup)
        self.client = mqtt.Client("fleet-watcher", clean_session=False, protocol=mqtt.MQTTv311)
        self.client.on_connect = lambda client, *_: client.subscribe("#", qos=1)
        self.client.on_message = self.arrived
        self.client.reconnect_delay_set(0.1, 0.5)
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def arrived(self, client, userdata, message):
        with self.lock:
            self.messages.append((message.topic, message.payload.decode(), message.dup))

    def payloads(self, topic):
        with self.lock:
            return [payload for name, payload, _ in self.messages if name == topic]

    def samples(self, topic):
        """Samples as first delivered (a redelivery of the watcher's own session is marked dup)."""
        with self.lock:
            return [json.loads(payload) for name, payload, dup in self.messages
                    if name == topic and not dup]


class Requester:
    """Sends commands and collects the replies on its own reply topics."""

    def __init__(self, port, protocol):
        self.lock = threading.Lock()
        self.replies = {}  # reply topic -> [(payload, correlation data)]
        self.v5 = protocol == mqtt.MQTTv5
        self.client = mqtt.Client("fleet-requester-" + ("5" if self.v5 else "311"), protocol=protocol)
        self.client.on_message = self.arrived
        self.client.connect("127.0.0.1", port)
        self.client.subscribe("replies/#", qos=1)
        self.client.loop_start()

    def arrived(self, client, userdata, message):
        correlation = getattr(message.properties, "CorrelationData", None) if self.v5 else None
        with self.lock:
            self.replies.setdefault(message.topic, []).append((json.loads(message.payload), correlation))

    def send(self, topic, body, reply_topic, correlation=None):
        properties = None
        if self.v5:
            properties = Properties(PacketTypes.PUBLISH)
            properties.ResponseTopic = reply_topic
            if correlation:
                properties.CorrelationData = correlation
        payload = body if isinstance(body, (bytes, str)) else json.dumps(body)
        self.client.publish(topic, payload, qos=1, properties=properties).wait_for_publish()

    def reply(self, reply_topic):
        wait_until(lambda: reply_topic in self.replies, "a reply on " + reply_topic)
        return self.replies[reply_topic][0]


def serve(url, machine, arguments, log, environment=None):
    return start([TOOL, "serve", "--http-port", "0", "--instrument-port", "0",
                  "--mqtt", url, "--mqtt-machine", machine,
                  "--mqtt-interval", str(INTERVAL)] + arguments,
                 environment, stdout=subprocess.DEVNULL, stderr=log)


def refuses_options(folder):
    """Options that cannot work end the service at once with a usage error (status 2)."""
    credentials = os.path.join(folder, "credentials")
    with open(credentials, "w") as file:
        file.write("user\npassword\n")
    os.chmod(credentials, 0o644)
    for options in (["--mqtt", "http://127.0.0.1:1883"], ["--mqtt", "mqtt://127.0.0.1:99999"],
                    ["--mqtt-id", "x"], ["--mqtt", "mqtt://h", "--mqtt-prefix", "a/#/"],
                    ["--mqtt", "mqtt://h", "--mqtt-readings", "P=1"],
                    ["--mqtt", "mqtt://h", "--mqtt-credentials", credentials]):
        result = subprocess.run([TOOL, "serve", "--simulated"] + options, capture_output=True, timeout=10)
        assert result.returncode == 2 and result.stderr, (options, result)


def main(folder):
    refuses_options(folder)
    broker = Broker(folder)
    broker.start()
    log = open(os.path.join(folder, "services.log"), "ab")
    sim = start([SIM, "--text", "Kora"], stdout=subprocess.PIPE, text=True)
    serial_port = sim.stdout.readline().split()[-1]
    assert sim.stdout.readline().strip() == "ready"

    watcher = Watcher(broker.port)
    # alpha: the simulated head and a serial supply, control allowed, MQTT 5.
    url = f"mqtt://127.0.0.1:{broker.port}"
    alpha = serve(url, "alpha", ["--simulated", "--port", serial_port, "--allow-control"], log)
    # beta: two supplies on emulated adapters, read-only, MQTT 3.1.1, five samples buffered.
    adapters = dict(os.environ, MAVOFTCI2C_EMULATED_SUPPLIES="kora-band1,vfk",
                    LD_LIBRARY_PATH=ADAPTER_DIR)
    beta = serve(url, "beta", ["--adapters", "--mqtt-version", "3.1.1", "--mqtt-buffer", "5"], log, adapters)

    # gamma: over TLS, the broker's certificate checked against the test's own CA.
    gamma = serve(f"mqtts://127.0.0.1:{broker.tls_port}", "gamma",
                  ["--simulated", "--mqtt-ca-file", os.path.join(folder, "ca.pem")], log)

    serial_level = serial_port.replace("/", "%2F")
    alpha_samples = "mavozarp/alpha/simulated/sample"
    wait_until(lambda: len(watcher.payloads(alpha_samples)) >= 3, "alpha's samples")
    wait_until(lambda: len(watcher.payloads(f"mavozarp/alpha/{serial_level}/reading/?P")) >= 3,
               "the serial supply's readings under its encoded id")
    wait_until(lambda: any(topic.startswith("mavozarp/beta/adapter-") and topic.endswith("/reading/?C")
                           for topic, _, _ in watcher.messages), "beta's readings")
    assert watcher.payloads("mavozarp/alpha/status")[-1] == "online"
    assert watcher.payloads("mavozarp/beta/status")[-1] == "online"
    wait_until(lambda: watcher.payloads("mavozarp/gamma/simulated/sample"), "gamma's samples over TLS")
    gamma.terminate()
    assert gamma.wait(timeout=15) == 0
    description = json.loads(watcher.payloads(f"mavozarp/alpha/{serial_level}/description")[-1])
    assert description["id"] == serial_port and description["transport"] == "serial", description
    faults = json.loads(watcher.payloads("mavozarp/alpha/simulated/faults")[-1])
    assert faults["word"] == 0xF00F and len(faults["undefined_bits"]) == 8, faults

    # Commands: MQTT 5 request and response, settings allowed on alpha.
    v5 = Requester(broker.port, mqtt.MQTTv5)
    v5.send(f"mavozarp/alpha/{serial_level}/command", {"id": "q1", "commands": ["?HTYPE", "PCMD=0.5", "?PCMD"]},
            "replies/q1", b"corr-1")
    reply, correlation = v5.reply("replies/q1")
    assert correlation == b"corr-1" and reply["id"] == "q1" and reply["device"] == serial_port, reply
    assert reply["ok"] and reply["results"][2]["reply"].startswith("0.5"), reply

    # A redelivered command (same id) is not carried out again: still exactly one reply.
    v5.send(f"mavozarp/alpha/{serial_level}/command", {"id": 7, "command": "?P"}, "replies/twice")
    v5.send(f"mavozarp/alpha/{serial_level}/command", {"id": 7, "command": "?P"}, "replies/twice")
    assert v5.reply("replies/twice")[0]["ok"] is True

    # Bad input gets an error reply and the service lives on.
    bad = [("mavozarp/alpha/simulated/command", b"{not json", "bad-json"),
           ("mavozarp/alpha/simulated/command", b"", "bad-json"),
           ("mavozarp/alpha/%FF%2F%zz/command", {"id": 1, "command": "?P"}, "unknown-device"),
           ("mavozarp/alpha/nothing-here/command", {"id": 1, "command": "?P"}, "unknown-device"),
           ("mavozarp/alpha/simulated/command", {"id": 2, "command": "?" + "P" * 200}, "bad-command"),
           ("mavozarp/alpha/simulated/command", {"id": 3, "command": "?P", "x": 1}, "bad-request"),
           ("mavozarp/alpha/simulated/command", {"command": "?P"}, "bad-request"),
           ("mavozarp/alpha/simulated/command", b"{" + b" " * 5000 + b"}", "too-large")]
    for number, (topic, body, error) in enumerate(bad):
        v5.send(topic, body, f"replies/bad{number}")
    for number, (_, _, error) in enumerate(bad):
        assert v5.reply(f"replies/bad{number}")[0]["error"] == error, (number, v5.replies)

    # MQTT 3.1.1: the reply topic rides in the body; beta is read-only.
    v311 = Requester(broker.port, mqtt.MQTTv311)
    beta_device = next(topic.split("/")[2] for topic, _, _ in watcher.messages
                       if topic.startswith("mavozarp/beta/adapter-"))
    v311.send(f"mavozarp/beta/{beta_device}/command",
              {"id": "s1", "command": "P=0.1", "reply_to": "replies/s1"}, None)
    assert v311.reply("replies/s1")[0]["error"] == "read-only"
    v311.send(f"mavozarp/beta/{beta_device}/command",
              {"id": "s2", "command": "?HTYPE", "reply_to": "replies/s2"}, None)
    assert v311.reply("replies/s2")[0]["ok"] is True
    time.sleep(0.5)
    assert all(len(replies) == 1 for replies in v5.replies.values()), v5.replies
    assert all(len(replies) == 1 for replies in v311.replies.values()), v311.replies

    # The broker goes away for a while; the samples taken meanwhile arrive afterwards, in order.
    broker.stop()
    stopped = time.time()
    time.sleep(3)
    restarted = time.time()
    broker.start()
    wait_until(lambda: any(sample["time"] > iso(restarted + 1) for sample in watcher.samples(alpha_samples)),
               "alpha's samples after the restart", timeout=30)
    samples = watcher.samples(alpha_samples)
    sequence = [sample["sequence"] for sample in samples]
    assert sequence == sorted(set(sequence)), "samples out of order or duplicated"
    after = [sample["sequence"] for sample in samples if sample["time"] >= iso(stopped)]
    assert after == list(range(after[0], after[0] + len(after))), "samples missing"
    outage = [sample for sample in samples if iso(stopped) <= sample["time"] <= iso(restarted)]
    assert outage, "no sample from the outage"  # as many as a loaded machine took
    # beta kept only the newest five of its two supplies' samples, and said it dropped the others.
    wait_until(lambda: b"samples dropped while it was away" in open(log.name, "rb").read(),
               "beta's dropped samples reported")
    beta_samples = {topic for topic, _, _ in watcher.messages
                    if topic.startswith("mavozarp/beta/") and topic.endswith("/sample")}
    kept = [sample for topic in beta_samples for sample in watcher.samples(topic)
            if iso(stopped) <= sample["time"] <= iso(restarted)]
    assert len(kept) <= 5, f"{len(kept)} of beta's samples from the outage"

    # A killed machine's last will.
    beta.send_signal(signal.SIGKILL)
    beta.wait()
    wait_until(lambda: watcher.payloads("mavozarp/beta/status")[-1:] == ["offline"], "beta's last will")
    # A machine stopped in order says so itself.
    alpha.terminate()
    assert alpha.wait(timeout=15) == 0
    wait_until(lambda: watcher.payloads("mavozarp/alpha/status")[-1:] == ["offline"], "alpha offline")


def iso(seconds):
    """The services' time format, which sorts as text."""
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + ".%03dZ" % int(seconds % 1 * 1000)


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as folder:
        try:
            main(folder)
        except BaseException:
            for name in ("mosquitto.log", "services.log"):
                path = os.path.join(folder, name)
                if os.path.exists(path):
                    sys.stderr.write(f"--- {name}\n" + open(path, errors="replace").read())
            raise
        finally:
            for process in started:
                if process.poll() is None:
                    process.kill()
                process.wait()
    print("fleet test passed")

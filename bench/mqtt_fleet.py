#!/usr/bin/python3
"""Samples per second one `mavozarp serve` publishes for 20 supplies on emulated adapters, and
what a Mosquitto broker on loopback delivers of them to one subscriber (nothing may be lost).

Usage: bench/mqtt_fleet.py [BUILD_DIR] [--seconds S] [--interval S] [--supplies N]
  BUILD_DIR defaults to build/linux.
"""
import argparse
import collections
import json
import os
import socket
import subprocess
import tempfile
import threading
import time

import paho.mqtt.client as mqtt


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and not condition():
        time.sleep(0.05)
    return condition()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build/linux")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--interval", type=float, default=0.05)
    parser.add_argument("--supplies", type=int, default=20)
    options = parser.parse_args()

    processes = []
    with tempfile.TemporaryDirectory() as folder:
        try:
            port = free_port()
            config = os.path.join(folder, "mosquitto.conf")
            with open(config, "w") as file:
                file.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                           "max_queued_messages 0\n")
            processes.append(subprocess.Popen(["mosquitto", "-c", config], stdout=subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL))
            time.sleep(0.3)

            lock = threading.Lock()
            sequences = collections.defaultdict(list)  # device -> sample numbers received
            messages = [0]

            def arrived(client, userdata, message):
                with lock:
                    messages[0] += 1
                    if message.topic.endswith("/sample"):
                        sample = json.loads(message.payload)
                        sequences[sample["device"]].append(sample["sequence"])

            subscriber = mqtt.Client("bench-subscriber", protocol=mqtt.MQTTv311)
            subscriber.on_message = arrived
            subscriber.connect("127.0.0.1", port)
            subscriber.subscribe("mavozarp/bench/#", qos=1)
            subscriber.loop_start()

            supplies = ",".join(["kora-band1"] * options.supplies)
            environment = dict(os.environ, MAVOFTCI2C_EMULATED_SUPPLIES=supplies,
                               LD_LIBRARY_PATH=os.path.join(options.build, "sim"))
            service = subprocess.Popen(
                [os.path.join(options.build, "tools", "mavozarp"), "serve", "--adapters",
                 "--http-port", "0", "--instrument-port", "0", "--mqtt", f"mqtt://127.0.0.1:{port}",
                 "--mqtt-machine", "bench", "--mqtt-interval", str(options.interval)],
                env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            processes.append(service)
            wait_until(lambda: len(sequences) == options.supplies, 30)
            with lock:
                first = {device: numbers[-1] for device, numbers in sequences.items()}
                messages_before = messages[0]
            started = time.monotonic()
            time.sleep(options.seconds)
            with lock:
                last = {device: numbers[-1] for device, numbers in sequences.items()}
                delivered = messages[0] - messages_before
            elapsed = time.monotonic() - started
            service.terminate()
            service.wait(timeout=30)
            time.sleep(0.5)  # the last deliveries
            subscriber.loop_stop()

            published = sum(last[device] - first.get(device, 0) for device in last)
            lost = sum(max(numbers) - len(set(numbers)) for numbers in sequences.values())
            duplicated = sum(len(numbers) - len(set(numbers)) for numbers in sequences.values())
            print(f"supplies: {len(sequences)} of {options.supplies}, interval {options.interval} s")
            print(f"samples published: {published / elapsed:.0f} /s "
                  f"(ideal {options.supplies / options.interval:.0f} /s)")
            print(f"messages delivered to the subscriber: {delivered / elapsed:.0f} /s "
                  f"(a sample is one JSON message and one per reading)")
            print(f"samples lost: {lost}, duplicated: {duplicated}")
            return 0 if lost == 0 and duplicated == 0 and len(sequences) == options.supplies else 1
        finally:
            for process in processes:
                if process.poll() is None:
                    process.kill()
                process.wait()


if __name__ == "__main__":
    raise SystemExit(main())

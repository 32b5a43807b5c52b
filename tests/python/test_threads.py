"""Several threads on every kind of supply at once, with heads identified meanwhile."""

import threading

import mavozarp
from conftest import open_serial


def test_concurrent_use_from_several_threads(virtual, adapters):
    supplies = {
        "simulated": mavozarp.simulated(),
        "bridge": open_serial(virtual.bridge_ports[0]),
        "text": open_serial(virtual.text_ports[0]),
        "adapter": mavozarp.adapter(adapters["picox-640"].index),
    }
    expected = {name: supply.send("?HTYPE") for name, supply in supplies.items()}
    failures = []

    def use(name, supply, rounds):
        try:
            for _ in range(rounds):
                assert supply.send("?HTYPE") == expected[name]
                assert isinstance(supply.query("?P"), float)
        except Exception as failure:  # reported by the test's own thread
            failures.append((name, failure))

    def identify():
        try:
            for _ in range(3):
                assert mavozarp.scan()[adapters["vfk"].index].head_type == "VFK"
        except Exception as failure:
            failures.append(("scan", failure))

    # A text supply's answer ends with a quiet gap on the line: fewer rounds there.
    threads = [threading.Thread(target=use, args=(name, supply, 4 if name == "text" else 40))
               for name, supply in supplies.items() for _ in range(2)]
    threads.append(threading.Thread(target=identify))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    for supply in supplies.values():
        supply.close()
    assert not any(thread.is_alive() for thread in threads)
    assert failures == [], failures

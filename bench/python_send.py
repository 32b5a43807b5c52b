#!/usr/bin/env python3
"""The Python package's cost per send on the simulated head, against a bare ctypes call.

    bench/python_send.py [--commands N] [--repeats R]

Both sides call MavoZARP_SendCommand(-1, "?P", reply) through the same loaded library. The bare
side passes a prepared command and reply buffer, once with the argument types declared as a
program would by hand and once with the C values made beforehand. The package's side is
`Supply.send("?P")`: the command checked, a reply buffer, the status turned into an exception,
the reply decoded and its line end taken off. Reports the median time per call of each over R
blocks of N calls, and the ratios; the goal is less than 2 times the declared bare call.
"""

import argparse
import ctypes
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
import mavozarp  # noqa: E402

GOAL = 2.0


def per_call(block, commands: int, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        block(commands)
        times.append((time.perf_counter() - started) / commands)
    return statistics.median(times)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--commands", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=7)
    options = parser.parse_args()

    library = mavozarp.load_library()
    send_command = library.MavoZARP_SendCommand
    supply = mavozarp.simulated()
    command, reply = b"?P", ctypes.create_string_buffer(100)

    def bare(count: int) -> None:
        for _ in range(count):
            send_command(-1, command, reply)

    def package(count: int) -> None:
        send = supply.send
        for _ in range(count):
            send("?P")

    # A bare call with nothing for ctypes to convert, as the package itself calls.
    unconverted = library["MavoZARP_SendCommand"]
    unconverted.restype = ctypes.c_int32
    handle = ctypes.c_ssize_t(-1)

    def bare_unconverted(count: int) -> None:
        for _ in range(count):
            unconverted(handle, command, reply)

    blocks = {"bare ctypes call (declared argtypes)": bare,
              "bare ctypes call (C values ready)": bare_unconverted, "Supply.send": package}
    for block in blocks.values():  # warm-up
        block(1000)
    times = {name: per_call(block, options.commands, options.repeats)
             for name, block in blocks.items()}
    for name, seconds in times.items():
        print(f"{name:38} {seconds * 1e6:7.3f} us per send")
    for bare_name in list(blocks)[:2]:
        ratio = times["Supply.send"] / times[bare_name]
        print(f"Supply.send / {bare_name:24} {ratio:7.2f}")
    ratio = times["Supply.send"] / times["bare ctypes call (declared argtypes)"]
    print(f"goal: Supply.send < {GOAL:g} x a bare call as declared by hand: "
          f"{'met' if ratio < GOAL else 'NOT MET'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

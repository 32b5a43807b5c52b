#!/usr/bin/env python3
"""Logs readings of one supply as CSV on standard output, one line per sample.

    csv_logger.py (--simulated | --port PATH | --adapter N) [--interval S] [--count N] CMD...

For example: csv_logger.py --adapter 0 --interval 1 '?P' '?C' '?TMAIN' > log.csv
A failed reading leaves its field empty and is told once on standard error; logging goes on,
and the exit status is 1 when any reading failed.
"""

import argparse
import csv
import sys

import mavozarp


def open_supply(options: argparse.Namespace) -> mavozarp.Supply:
    if options.port:
        return mavozarp.open_serial(options.port)
    if options.adapter is not None:
        return mavozarp.adapter(options.adapter)
    return mavozarp.simulated()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    device = parser.add_mutually_exclusive_group(required=True)
    device.add_argument("--simulated", action="store_true")
    device.add_argument("--port")
    device.add_argument("--adapter", type=int)
    parser.add_argument("--interval", type=float, default=1.0)
    parser.add_argument("--count", type=int)
    parser.add_argument("commands", nargs="+", metavar="CMD")
    options = parser.parse_args()

    # Each refusal is told once, not at every sample: per command when the command is at fault,
    # once for all commands when the supply is (one gone silent fails them all alike).
    reported: set[tuple[str, int | None]] = set()
    writer = csv.writer(sys.stdout, lineterminator="\n")
    writer.writerow(["time", "elapsed_s", *options.commands])
    with open_supply(options) as supply:
        try:
            for sample in supply.watch(options.commands, options.interval, options.count):
                fields = []
                for command, value in sample.values.items():
                    if isinstance(value, mavozarp.MavoZARPError):
                        of_the_command = isinstance(value, (mavozarp.InvalidCommand,
                                                            mavozarp.InvalidData))
                        failure = (command if of_the_command else "", value.code)
                        if failure not in reported:
                            reported.add(failure)
                            print(f"csv_logger: {value}", file=sys.stderr)
                        value = ""
                    fields.append(value)
                writer.writerow([sample.time.isoformat(), f"{sample.elapsed:.3f}", *fields])
                sys.stdout.flush()
        except KeyboardInterrupt:
            pass
    return 1 if reported else 0


if __name__ == "__main__":
    sys.exit(main())

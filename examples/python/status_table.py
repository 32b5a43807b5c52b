#!/usr/bin/env python3
"""A status table of every supply: those on the USB-to-I2C adapters, those on the serial ports
given as arguments, and with --simulated the simulated head.

    status_table.py [--simulated] [PORT...]

The table has a row for each supply that could be read. Each one that could not (a port without
a supply, an adapter whose head is unknown, no adapter library) is named in one line on standard
error, and the exit status is then 1.
"""

import argparse
import sys

import mavozarp

HEADINGS = ["supply", "head", "power", "current", "main temp.", "faults"]


def row(name: str, supply: mavozarp.Supply) -> list[str]:
    status = supply.status()

    def shown(key: str) -> str:
        reading = status.readings[key]
        if not reading.supported:
            return "-"
        if reading.error is not None:
            return f"error {reading.error.code}"
        return f"{reading.value:g} {reading.unit or ''}".strip()

    faults = "-" if status.faults is None else \
        " ".join([f"{status.faults.word:04X}", *sorted(status.faults.names)])
    return [name, status.head_type, shown("power"), shown("current"), shown("main_temperature"),
            faults]


def main(arguments: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="status_table.py",
                                     description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("--simulated", action="store_true", help="a row for the simulated head")
    parser.add_argument("ports", metavar="PORT", nargs="*", help="a serial port with a supply")
    options = parser.parse_args(arguments)

    rows, failures = [], []

    def add(name: str, open_supply) -> None:
        try:
            with open_supply() as supply:
                rows.append(row(name, supply))
        except (mavozarp.MavoZARPError, mavozarp.LibraryNotFoundError) as failure:
            failures.append(f"{name}: {failure}")

    if options.simulated:
        add("simulated", mavozarp.simulated)
    try:
        found = mavozarp.scan()
    except (mavozarp.MavoZARPError, mavozarp.LibraryNotFoundError) as failure:
        failures.append(f"adapters: {failure}")
        found = []
    # Each entry opens its own supply: closing one moves it to the end of the discovery list,
    # so indexes taken from this list would name another supply by then.
    for entry in found:
        if entry.error is not None:
            failures.append(f"adapter {entry.index}: {entry.error}")
        else:
            add(f"adapter {entry.index}", entry.open)
    for port in options.ports:
        add(port, lambda port=port: mavozarp.open_serial(port))

    if rows:
        table = [HEADINGS, *rows]
        widths = [max(len(r[column]) for r in table) for column in range(len(HEADINGS))]
        for r in table:
            print("  ".join(cell.ljust(width) for cell, width in zip(r, widths)).rstrip())
    elif not failures:
        print("No supplies found.")
    for failure in failures:
        print(f"status_table.py: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

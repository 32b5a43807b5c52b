#!/usr/bin/env python3
"""A status table of every supply: those on the USB-to-I2C adapters, those on the serial ports
given as arguments, and with --simulated the simulated head.

    status_table.py [--simulated] [PORT...]
"""

import sys

import mavozarp


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


def supplies(arguments: list[str]):
    """(name, supply) of every supply asked for, each closed after use."""
    if "--simulated" in arguments:
        yield "simulated", mavozarp.simulated()
    try:
        found = mavozarp.scan()
    except mavozarp.AdapterLibraryError:
        found = []  # no adapter library on this machine: serial supplies only
    # Each entry opens its own supply: closing one moves it to the end of the discovery list,
    # so indexes taken from this list would name another supply by then.
    for entry in found:
        if entry.error is None:
            yield f"adapter {entry.index}", entry.open()
    for port in (a for a in arguments if a != "--simulated"):
        yield port, mavozarp.open_serial(port)


def main(arguments: list[str]) -> int:
    if any(a.startswith("-") and a != "--simulated" for a in arguments):  # a path never does
        print("usage: status_table.py [--simulated] [PORT...]", file=sys.stderr)
        return 2
    rows = [["supply", "head", "power", "current", "main temp.", "faults"]]
    for name, supply in supplies(arguments):
        with supply:
            rows.append(row(name, supply))
    widths = [max(len(r[column]) for r in rows) for column in range(len(rows[0]))]
    for r in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(r, widths)).rstrip())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

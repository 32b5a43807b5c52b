#!/usr/bin/env python3
"""A program of one's own: ramps a supply's power command up to a target in steps.

    power_ramp.py PORT TARGET [STEPS]

TARGET is in the head's power unit (?POWERUNITS). A supply that cannot be opened or a target the
head refuses is told in one line on standard error, with exit status 1; a mistake in the
arguments gives the usage and exit status 2.
"""

import argparse
import sys

import mavozarp


def ramp_power(supply: mavozarp.Supply, target: float, steps: int = 5) -> list[float]:
    """Sets the power command in `steps` equal steps up to `target`; gives the commands the
    supply read back after each step."""
    start = supply.power_command
    readings = []
    for step in range(1, steps + 1):
        supply.power_command = start + (target - start) * step / steps
        readings.append(supply.power_command)
    return readings


def number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if value != value or value in (float("inf"), float("-inf")):
        raise argparse.ArgumentTypeError(f"{text!r} is not a number")
    return value


def count(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number from 1 up")
    return int(text)


def main(arguments: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="power_ramp.py",
                                     description=__doc__.splitlines()[0])
    parser.add_argument("port", metavar="PORT", help="the supply's serial port")
    parser.add_argument("target", metavar="TARGET", type=number,
                        help="the power command to reach, in the head's unit")
    parser.add_argument("steps", metavar="STEPS", type=count, nargs="?", default=5,
                        help="how many equal steps (default 5)")
    options = parser.parse_args(arguments)
    try:
        with mavozarp.open_serial(options.port) as supply:
            for value in ramp_power(supply, options.target, options.steps):
                print(f"{value:.3f} {supply.power_unit}")
    except (mavozarp.MavoZARPError, mavozarp.LibraryNotFoundError) as failure:
        # Named in one line: a port that does not answer, a target out of range, no library.
        print(f"power_ramp.py: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

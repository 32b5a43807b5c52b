#!/usr/bin/env python3
"""A program of one's own: ramps a supply's power command up to a target in steps.

    power_ramp.py PORT TARGET [STEPS]
"""

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


def main(arguments: list[str]) -> int:
    if len(arguments) not in (2, 3):
        print("usage: power_ramp.py PORT TARGET [STEPS]", file=sys.stderr)
        return 2
    with mavozarp.open_serial(arguments[0]) as supply:
        steps = int(arguments[2]) if len(arguments) > 2 else 5
        for value in ramp_power(supply, float(arguments[1]), steps):
            print(f"{value:.3f} {supply.power_unit}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

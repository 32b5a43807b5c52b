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


if __name__ == "__main__":
    with mavozarp.open_serial(sys.argv[1]) as supply:
        steps = int(sys.argv[3]) if len(sys.argv) > 3 else 5
        for value in ramp_power(supply, float(sys.argv[2]), steps):
            print(f"{value:.3f} {supply.power_unit}")

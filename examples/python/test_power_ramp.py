"""The program's own tests, against virtual supplies instead of hardware:

    python3 -m pytest test_power_ramp.py
"""

import pytest

import mavozarp
from mavozarp.virtual import Supplies

from power_ramp import ramp_power


@pytest.fixture(scope="module")
def supplies():
    # Started once for the module, stopped (by process id) when the tests are done or fail.
    with Supplies(bridge=["kora-band1"]) as virtual:
        yield virtual


@pytest.fixture
def supply(supplies):
    with mavozarp.open_serial(supplies.bridge_ports[0]) as supply:
        yield supply


def test_ramp_reaches_the_target_in_steps(supply):
    # This head's power is in mW, set in steps of 0.1 W / 1024.
    readings = ramp_power(supply, 40.0, steps=4)
    assert readings == pytest.approx([10.0, 20.0, 30.0, 40.0], abs=0.2)


def test_ramp_beyond_full_scale_is_refused(supply):
    with pytest.raises(mavozarp.InvalidData):
        ramp_power(supply, 1000.0, steps=1)

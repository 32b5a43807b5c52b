"""The virtual-supplies context manager leaves no process, pseudo-terminal or environment behind,
also when the block fails; supplies whose launcher stopped answer with errors, never hang."""

import os
import time

import pytest

import mavozarp
from conftest import open_serial
from mavozarp.virtual import LauncherError, Supplies


def gone(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


# Adapter supplies asked for after the session's own: the warning that tells so is expected.
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_nothing_is_left_behind_also_after_a_failure():
    environment = dict(os.environ)
    with pytest.raises(RuntimeError, match="the test failed"):
        with Supplies(bridge=["picox-640"], text=["Vfk"], adapter=["vfn"]) as virtual:
            pid, ports = virtual.pid, virtual.bridge_ports + virtual.text_ports
            assert len(ports) == 2 and all(os.path.exists(port) for port in ports)
            assert virtual.environment["MAVOFTCI2C_EMULATED_SUPPLIES"] == "vfn"
            raise RuntimeError("the test failed")
    assert gone(pid)
    assert not any(os.path.exists(port) for port in ports)
    assert dict(os.environ) == environment


def test_a_launcher_that_cannot_start_is_told():
    with pytest.raises(LauncherError, match="no-such-preset"):
        with Supplies(bridge=["no-such-preset"]):
            pass
    with pytest.raises(ValueError):
        Supplies()
    with pytest.raises(TypeError):
        Supplies(bridge="kora-band1")


def test_a_stopped_launcher_makes_the_next_call_fail_not_hang():
    with Supplies(bridge=["kora-band1"], text=["Kora"]) as virtual:
        bridge = open_serial(virtual.bridge_ports[0])
        text = open_serial(virtual.text_ports[0])
    started = time.monotonic()
    for supply in (bridge, text):
        with pytest.raises(mavozarp.SerialPortError):
            supply.send("?P")
        supply.close()
    assert time.monotonic() - started < 10

"""Shared fixtures: the built programs, and one set of virtual supplies for the whole run.

The adapter supplies are served inside this process by the emulated adapter library, which reads
their list once: every head preset is on an adapter, in the order of `mavozarp-sim
--list-presets`. Tests that change what is plugged run in a process of their own (run_python).
"""

import ctypes
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "linux"
os.environ.setdefault("MAVOZARP_LIBRARY", str(BUILD / "libMavoZARP.so"))
os.environ.setdefault("MAVOZARP_SIM", str(BUILD / "sim" / "mavozarp-sim"))
TOOL = os.environ.get("MAVOZARP_TOOL", str(BUILD / "tools" / "mavozarp"))
EXAMPLES_BUILD = Path(os.environ.get("MAVOZARP_EXAMPLES_BUILD", BUILD / "examples"))
PYTHON_PACKAGE = ROOT / "python"
if str(PYTHON_PACKAGE) not in sys.path:
    sys.path.insert(0, str(PYTHON_PACKAGE))

import mavozarp  # noqa: E402
from mavozarp.virtual import Supplies  # noqa: E402

PRESETS = [line.split()[0] for line in subprocess.run(
    [os.environ["MAVOZARP_SIM"], "--list-presets"], capture_output=True, text=True,
    check=True).stdout.splitlines()]
BRIDGES = ["kora-band2", "picox-640", "vfn"]


@pytest.fixture(scope="session")
def virtual():
    with Supplies(bridge=BRIDGES, text=["Kora"], adapter=PRESETS) as supplies:
        yield supplies


@pytest.fixture
def adapters(virtual):
    """The adapter supplies in the order of a fresh process, indexed by preset.

    Closing an adapter supply makes the next discovery report it removed and find it anew at the
    end of the list; closing every one and scanning again gives the adapters' own order back.
    """
    for entry in mavozarp.scan():
        try:
            mavozarp.Supply(entry.handle, "adapter", entry.head_type or "").close()
        except mavozarp.UnknownHandle:
            pass  # closed already
    entries = mavozarp.scan()
    assert len(entries) == len(PRESETS)
    return dict(zip(PRESETS, entries))


@pytest.fixture(scope="session")
def controls(virtual):
    """The emulated adapter library's test controls, in this process."""
    library = ctypes.CDLL(str(Path(virtual.environment["LD_LIBRARY_PATH"]) / "libMavoFTCI2C.so"))
    for name in ("EmulatedAdapter_FailTransferAfter", "EmulatedAdapter_ThrowNext",
                 "EmulatedAdapter_FailNext"):
        getattr(library, name).restype = None
    return library


def open_serial(port: str) -> mavozarp.Supply:
    """A serial supply, asked up to three times: on a machine loaded far beyond its cores an
    emulated supply can miss the library's tenth of a second to answer (-300)."""
    for attempt in range(3):
        try:
            return mavozarp.open_serial(port)
        except mavozarp.SerialPortError:
            if attempt == 2:
                raise
    raise AssertionError("unreachable")


def run_tool(*arguments: str) -> dict:
    """`mavozarp ... --json` as a separate host program, with this process's environment."""
    result = subprocess.run([TOOL, *arguments, "--json"], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout, result.stderr
    return json.loads(result.stdout)


def run_python(script: str, env: dict | None = None, timeout: float = 60) -> str:
    """Runs a script in a fresh interpreter (fresh library state); gives its standard output."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                            text=True, timeout=timeout,
                            env={**os.environ, "PYTHONPATH": str(PYTHON_PACKAGE), **(env or {})},
                            cwd=Path(__file__).parent)
    assert result.returncode == 0, result.stderr
    return result.stdout

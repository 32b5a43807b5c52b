"""`mavozarp.exe ports` under Wine: the COM ports Wine maps are listed once each, by number, and a
named port that cannot be opened is explained.

Run by scripts/test-wine.sh with WINE (the loader), WINEPREFIX (a prepared prefix, whose serial
port mappings this changes and restores), MAVOZARP_WINDOWS_BUILD and MAVOZARP_LINUX_BUILD (for
mavozarp-sim).
"""

import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

WINE = os.environ.get("WINE", "wine")
PREFIX = Path(os.environ["WINEPREFIX"])
WINDOWS_BUILD = Path(os.environ["MAVOZARP_WINDOWS_BUILD"])
SIMULATOR = Path(os.environ["MAVOZARP_LINUX_BUILD"]) / "sim" / "mavozarp-sim"
ENVIRONMENT = {**os.environ, "WINEDEBUG": "-all"}

# Numbers well above those the end-to-end suite links (COM5 onwards); by number COM41 comes
# before COM100, by text after it.
SUPPLY_PORT, MISSING_PORT, FILE_PORT, UNMAPPED_PORT = "COM41", "COM100", "COM43", "COM99"
WINE_PORTS_KEY = r"HKLM\Software\Wine\Ports"


def wine(*arguments, cwd=None):
    return subprocess.run([WINE, *arguments], cwd=cwd, env=ENVIRONMENT, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=240)


def restart_wine():
    """Wine's mount manager reads the port mappings when the prefix's server starts."""
    subprocess.run(["wineserver", "-k"], env=ENVIRONMENT, check=False, timeout=60)
    subprocess.run(["wineserver", "-w"], env=ENVIRONMENT, check=False, timeout=60)


@pytest.fixture(scope="module")
def supply_line():
    """The pseudo-terminal of a text supply."""
    simulator = subprocess.Popen([str(SIMULATOR), "--text"], stdout=subprocess.PIPE, text=True)
    try:
        lines = [simulator.stdout.readline().split() for _ in range(2)]
        assert lines[-1] == ["ready"], lines
        yield lines[0][-1]
    finally:
        simulator.terminate()
        simulator.wait(timeout=30)


@pytest.fixture(scope="module")
def mapped_ports(supply_line, tmp_path_factory):
    """The supply's line and a path that does not exist mapped as Wine users map ports, in its
    registry; a regular file linked as a DOS device, which Wine opens but lists nowhere."""
    regular = tmp_path_factory.mktemp("ports") / "regular-file"
    regular.write_text("not a port")
    link = PREFIX / "dosdevices" / FILE_PORT.lower()
    mappings = {SUPPLY_PORT: supply_line, MISSING_PORT: "/nonexistent/ttyMAVO"}
    try:
        for port, path in mappings.items():
            assert wine("reg", "add", WINE_PORTS_KEY, "/v", port, "/d", path, "/f").returncode == 0
        link.unlink(missing_ok=True)
        link.symlink_to(regular)
        restart_wine()
        yield
    finally:
        for port in mappings:
            wine("reg", "delete", WINE_PORTS_KEY, "/v", port, "/f")
        restart_wine()
        # Wine links the ports it maps as DOS devices too, and leaves the links behind.
        for port in [*mappings, FILE_PORT]:
            (PREFIX / "dosdevices" / port.lower()).unlink(missing_ok=True)


@pytest.fixture(scope="module")
def tool(tmp_path_factory):
    """The tool beside the library, as installed."""
    folder = tmp_path_factory.mktemp("tool")
    for built in [WINDOWS_BUILD / "tools" / "mavozarp.exe", WINDOWS_BUILD / "MavoZARP.dll"]:
        shutil.copy(built, folder)
    return lambda *arguments: wine("mavozarp.exe", *arguments, cwd=folder)


def test_the_ports_wine_maps_are_listed_once_each_by_number(mapped_ports, tool):
    run = tool("ports", "--json")
    assert run.returncode == 0, run.stderr
    ports = json.loads(run.stdout)["ports"]
    paths = [port["path"] for port in ports]
    # Each is both a DOS device name and an announced serial port.
    assert paths.count(SUPPLY_PORT) == 1 and paths.count(MISSING_PORT) == 1, paths
    assert paths == sorted(paths, key=lambda path: (len(path), path)), paths
    supply = ports[paths.index(SUPPLY_PORT)]
    assert supply["friendly_name"] is None and supply["usb"] is None, supply
    assert "probe" not in supply  # listing opens no port


def test_a_named_port_that_cannot_be_opened_is_explained(mapped_ports, tool):
    named = [SUPPLY_PORT, MISSING_PORT, FILE_PORT, UNMAPPED_PORT]
    run = tool("ports", "--json", *named)
    assert run.returncode == 1, run.stderr
    ports = json.loads(run.stdout)["ports"]
    assert [port["path"] for port in ports] == named
    assert "probe" not in ports[0], ports[0]
    reasons = {
        MISSING_PORT: "no such device",
        FILE_PORT: "not a serial device: a regular file",
        UNMAPPED_PORT: "no such device",
    }
    for port in ports[1:]:
        assert port["probe"]["outcome"] == "unusable", port
        assert port["probe"]["message"] == reasons[port["path"]], port
    assert run.stderr.replace("\r", "").splitlines() == [
        f"mavozarp: cannot use {port}: {reason}" for port, reason in reasons.items()]

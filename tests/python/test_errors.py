"""Every status code that can be provoked arrives as its own exception class; bad arguments are
refused before anything reaches the library."""

import shutil
from pathlib import Path

import pytest

import mavozarp
from conftest import PRESETS, PYTHON_PACKAGE, open_serial, run_python


def test_codes_of_commands_and_supplies(adapters, controls):
    with mavozarp.simulated() as supply:
        with pytest.raises(mavozarp.InvalidCommand) as refused:
            supply.send("?TTHG")
        assert (refused.value.code, refused.value.name, refused.value.command) == \
            (-3, "invalid command", "?TTHG")
        with pytest.raises(mavozarp.InvalidData):
            supply.send("PCMD=abc")
    with pytest.raises(mavozarp.InvalidHead):
        mavozarp.adapter(adapters["unknown-type"].index)
    with pytest.raises(mavozarp.SerialPortError) as missing:
        mavozarp.open_serial("/dev/mavozarp-no-such-port")
    # The reason, as the tool gives it, not only the library's one code for every cause.
    assert missing.value.reason == "no such device"
    assert "no such device" in str(missing.value)
    with pytest.raises(mavozarp.SerialPortError) as not_serial:
        mavozarp.open_serial("/dev/null")
    assert not_serial.value.reason == ("not a serial device: "
                                       "a character device that is not a terminal")
    with mavozarp.adapter(adapters["kora-band2"].index) as supply:
        controls.EmulatedAdapter_FailTransferAfter(0, 100, 4)  # more than the library retries
        with pytest.raises(mavozarp.I2CError):
            supply.send("?TMAIN")
        controls.EmulatedAdapter_FailTransferAfter(0, 0, 0)
        assert isinstance(supply.power, float)
    controls.EmulatedAdapter_ThrowNext(b"I2C_GetDllVersion", 1)
    with pytest.raises(mavozarp.AdapterLibraryException):
        mavozarp.adapter_library_version()
    # The adapter library's own statuses, passed back by the library.
    controls.EmulatedAdapter_FailNext(b"I2C_GetDllVersion", 1, 5)
    with pytest.raises(mavozarp.AdapterLibraryError) as own:
        mavozarp.adapter_library_version()
    assert own.value.code == 5

    # A failed close, in a process of its own: the adapter may stay open in the adapter library.
    print(run_python("""
        import contextlib, ctypes, mavozarp
        from mavozarp.virtual import Supplies
        with Supplies(adapter=["vfk"]):
            supply = mavozarp.adapter(0)
            ctypes.CDLL("libMavoFTCI2C.so").EmulatedAdapter_FailNext(b"I2C_Close", 1, 7)
            try:
                supply.close()
            except mavozarp.AdapterLibraryError as own:
                assert own.code == 7 and not supply.closed  # closing can be tried again
            with contextlib.suppress(mavozarp.UnknownHandle):  # the library gave the slot up
                supply.close()
            assert supply.closed
    """))


def test_a_closed_supply_raises_without_reaching_the_library(virtual):
    supply = open_serial(virtual.bridge_ports[0])
    supply.close()
    supply.close()  # a second close does nothing
    for call in (lambda: supply.send("?P"), lambda: supply.power, supply.status,
                 lambda: next(supply.watch("?P", 0.01))):
        with pytest.raises(mavozarp.SupplyClosedError) as closed:
            call()
        assert closed.value.code == -1 and isinstance(closed.value, mavozarp.UnknownHandle)


def test_unplugged_adapter_supply_is_removed_and_its_handle_unknown(virtual):
    print(run_python("""
        import ctypes, os, mavozarp
        from pathlib import Path
        from mavozarp.virtual import Supplies
        with Supplies(adapter=["kora-band1", "vfk"], shared=False) as virtual:
            supply = mavozarp.adapter(1)
            controls = ctypes.CDLL("libMavoFTCI2C.so")  # the copy the library uses
            controls.EmulatedAdapter_SetPlugged(1, 0)
            try:
                supply.send("?P")
            except mavozarp.I2CError:
                pass
            changes = mavozarp.changes()
            assert changes.removed == [supply.handle] and changes.found == [], changes
            try:
                supply.send("?P")
            except mavozarp.UnknownHandle as unknown:
                assert unknown.code == -1
            else:
                raise AssertionError("no UnknownHandle")
            controls.EmulatedAdapter_SetPlugged(1, 1)
            found = mavozarp.changes().found
            assert [entry.head_type for entry in found] == ["VFK"], found
    """))


@pytest.mark.parametrize("folder, error", [
    ("", "AdapterLibraryNotLoaded"),
    ("without-loopback", "AdapterLibraryIncomplete"),
])
def test_adapter_library_missing_or_incomplete(virtual, folder, error):
    sim = Path(virtual.environment["LD_LIBRARY_PATH"])
    preload = f"import ctypes; ctypes.CDLL({str(sim / folder / 'libMavoFTCI2C.so')!r})" \
        if folder else ""
    output = run_python(f"""
        {preload}
        import mavozarp
        for call in (mavozarp.scan, mavozarp.adapter_library_version, lambda: mavozarp.adapter(0)):
            try:
                call()
            except mavozarp.AdapterLibraryError as failure:
                print(type(failure).__name__, failure.code)
    """, env={"LD_LIBRARY_PATH": ""})
    code = {"AdapterLibraryNotLoaded": -100, "AdapterLibraryIncomplete": -101}[error]
    assert output.splitlines() == [f"{error} {code}"] * 3


def test_bad_arguments_never_reach_the_library(virtual):
    supply = mavozarp.simulated()
    refused = {
        TypeError: [b"?P", None, 5],
        ValueError: ["?P\0PCMD=1", "?P" + "\u00e9", "?" + "P" * 99],
    }
    for kind, commands in refused.items():
        for command in commands:
            with pytest.raises(kind):
                supply.send(command)
            with pytest.raises(kind):
                supply.query(command)
    with pytest.raises(mavozarp.InvalidCommand):
        supply.send("?" + "P" * 98)  # 99 characters: the longest the library takes
    for name, value, kind in [("power_command", "1", TypeError), ("power_command", True, TypeError),
                              ("power_command", float("nan"), ValueError),
                              ("shutter_open", 2, TypeError), ("remote", "yes", TypeError)]:
        with pytest.raises(kind):
            setattr(supply, name, value)
    for call, kind in [(lambda: mavozarp.open_serial(3), TypeError),
                       (lambda: mavozarp.open_serial("/dev/tty\0S0"), ValueError),
                       (lambda: mavozarp.adapter("0"), TypeError),
                       (lambda: mavozarp.adapter(-1), ValueError),
                       (lambda: mavozarp.adapter(len(PRESETS)), IndexError),
                       (lambda: supply.watch("?P", 0), ValueError),
                       (lambda: supply.watch("?P", "1"), TypeError),
                       (lambda: supply.watch([b"?P"], 1), TypeError)]:
        with pytest.raises(kind):
            call()


def test_library_not_found_names_every_place_tried(tmp_path):
    script = """
        import mavozarp
        try:
            mavozarp.version()
        except mavozarp.LibraryNotFoundError as failure:
            print(failure)
    """
    named = run_python(script, env={"MAVOZARP_LIBRARY": str(tmp_path / "libMavoZARP.so")})
    assert "MAVOZARP_LIBRARY" in named and str(tmp_path) in named  # and nothing else is tried
    assert "libMavoZARP.so.2" not in named
    # A copy of the package outside the source tree, with nothing to find.
    shutil.copytree(PYTHON_PACKAGE / "mavozarp", tmp_path / "mavozarp")
    searched = run_python(script, env={"MAVOZARP_LIBRARY": "", "LD_LIBRARY_PATH": "",
                                       "PYTHONPATH": str(tmp_path)})
    assert "libMavoZARP.so.2" in searched and "libMavoZARP.so:" in searched
    # Folders without the library are places tried too: the build folders and install prefixes.
    for folder in (tmp_path.parent / "build" / "linux", Path("/usr/local/lib")):
        assert f"({folder}): none of libMavoZARP.so.2, libMavoZARP.so there" in searched, searched

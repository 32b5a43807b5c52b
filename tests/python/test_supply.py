"""Supplies through the package against the tool's JSON for the same supply, named readings and
settings, typed queries, watching."""

import pytest

import mavozarp
from conftest import BRIDGES, PRESETS, open_serial, run_tool


def test_versions(virtual):
    assert mavozarp.version() == "MavoZARP 2.1.0"
    assert mavozarp.adapter_library_version() == "emulated 1.0"  # without the name twice


def test_scan_agrees_with_the_tool(adapters):
    tool = run_tool("scan")["supplies"]
    assert len(tool) == len(PRESETS)
    for entry, listed in zip(adapters.values(), tool):
        assert (entry.index, entry.head_type, entry.model) == \
            (listed["index"], listed["head_type"], listed["model"])
        assert (entry.error.code if entry.error else 0) == listed["status"]


SERIAL_TIME_OUT = mavozarp.SerialPortError.code


def assert_same_panel(status: mavozarp.Status, document: dict) -> None:
    assert status.family == document["device"]["family"]
    assert status.readings.keys() == document["readings"].keys()
    for key, reading in status.readings.items():
        expected = document["readings"][key]
        assert reading.supported == expected["supported"], key
        if not reading.supported:  # a stage the board lacks keeps the board's answer in both
            assert (reading.status, reading.reply) == (expected.get("status"), expected.get("reply"))
        # An emulated serial supply may miss the library's bound on a heavily loaded machine.
        if not reading.supported or SERIAL_TIME_OUT in (reading.status, expected.get("status")):
            continue
        assert (reading.status, reading.reply, reading.unit) == \
            (expected["status"], expected["reply"], expected.get("unit")), key
        if reading.status == 0:
            value = expected["value"]
            assert reading.value == (pytest.approx(value) if isinstance(value, float) else value)
    faults = document["faults"]
    if SERIAL_TIME_OUT in (status.readings["fault_word"].status,
                           document["readings"]["fault_word"].get("status")):
        return
    if faults is None:
        assert status.faults is None
        return
    assert status.faults.word == faults["word"]
    assert [f.name for f in status.faults.flags] == [f["name"] for f in faults["flags"]]
    assert [f"0x{bit:04X}" for bit in status.faults.undefined_bits] == faults["undefined_bits"]


def test_status_of_every_adapter_preset_agrees_with_the_tool(adapters):
    # All open at once: a closed adapter supply is found anew at the end of the next discovery.
    opened = []
    for entry in adapters.values():
        if entry.error is not None:
            with pytest.raises(type(entry.error)):
                mavozarp.adapter(entry.index)
            continue
        opened.append((entry.index, mavozarp.adapter(entry.index)))
    for index, supply in opened:
        with supply:
            assert_same_panel(supply.status(), run_tool("status", "--adapter", str(index)))


def test_status_on_serial_supplies_and_simulated_agrees_with_the_tool(virtual):
    for port in virtual.bridge_ports + virtual.text_ports:
        with open_serial(port) as supply:  # the tool opens the port after this closes
            status = supply.status()
        assert_same_panel(status, run_tool("status", "--port", port))
    with mavozarp.simulated() as supply:
        assert_same_panel(supply.status(), run_tool("status", "--simulated"))


def test_named_readings_and_settings(virtual):
    with open_serial(virtual.bridge_ports[BRIDGES.index("kora-band2")]) as kora:
        assert kora.head_type == "Kora" and kora.power_unit == "mW"
        kora.power_command = 40
        assert kora.power_command == pytest.approx(40, abs=0.5)
        kora.current_command = 1.0
        assert kora.current_command == pytest.approx(1.0, abs=0.03)
        for name in ("shutter_open", "key_switch_command", "remote", "analog_mode_command"):
            setattr(kora, name, True)
            assert getattr(kora, name) is True
            setattr(kora, name, False)
            assert getattr(kora, name) is False
        assert kora.key_switch is True
        with pytest.raises(mavozarp.InvalidData):
            kora.control_mode_command = 1  # only while the key switch is off
        assert kora.fault_word.names == {"supply-input-4-low", "interlock-open"}
        assert "interlock-open" in kora.fault_word and kora.interlock is False
        assert set(kora.temperatures) == {"main", "brf", "shg", "thg", "eta"}
        assert isinstance(kora.laser_on, bool) and isinstance(kora.head_hours, float)
        with pytest.raises(AttributeError):
            kora.power = 1.0
        with pytest.raises(mavozarp.InvalidData):
            kora.power_command = 1e6  # beyond full scale
    with mavozarp.simulated() as simulated:
        assert set(simulated.temperatures) == {"main", "brf", "shg"}
        assert simulated.fault_word.undefined_bits and not simulated.fault_word.flags


def test_queries_are_typed_by_reply_format(virtual):
    with mavozarp.simulated() as supply:
        expected = {"?P": float, "?L": int, "?FF": int, "?CFG0": int, "MATCH=1": int,
                    "?HTYPE": str, "?WAVELENGTH": float}
        for command, kind in expected.items():
            assert type(supply.query(command)) is kind, command
        assert supply.query("?ff") == int(supply.send("?FF"), 16)
        assert supply.send("PCMD=1") == ""
        with pytest.raises(ValueError, match="setting"):
            supply.query("PCMD=1")
    with open_serial(virtual.text_ports[0]) as text:
        assert text.head_type == "Kora"
        assert text.query("?P") == float(text.send("?P"))
        with pytest.raises(mavozarp.InvalidCommand) as refused:
            text.send("?NOTHING")
        assert refused.value.reply == "ERR" and refused.value.command == "?NOTHING"


def test_watch_gives_timestamped_typed_samples_and_keeps_going_after_errors(virtual):
    with mavozarp.simulated() as supply:
        samples = list(supply.watch(["?P", "?TTHG", "?L"], interval=0.02, count=3))
    assert len(samples) == 3
    assert [s.time for s in samples] == sorted(s.time for s in samples)
    assert samples[0].elapsed < samples[1].elapsed < samples[2].elapsed
    for sample in samples:
        assert isinstance(sample.values["?P"], float) and isinstance(sample.values["?L"], int)
        assert isinstance(sample.values["?TTHG"], mavozarp.InvalidCommand)

"""The examples, built and run as a user would, with their output checked; and the package
installed by pip from the source folder, offline."""

import csv
import io
import os
import subprocess
import sys

from conftest import EXAMPLES_BUILD, PYTHON_PACKAGE, ROOT

EXAMPLES = ROOT / "examples" / "python"


def run(command, virtual=None, adapters=None, **kwargs):
    env = {**os.environ, "PYTHONPATH": str(PYTHON_PACKAGE)}
    if adapters is not None:  # served inside the example's own process, not by the launcher
        env.pop("MAVOFTCI2C_EMULATED_SOCKET", None)
        env.update(MAVOFTCI2C_EMULATED_SUPPLIES=adapters,
                   LD_LIBRARY_PATH=virtual.environment["LD_LIBRARY_PATH"])
    return subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          env=env, timeout=60, cwd=kwargs.get("cwd"))


def test_c_examples(virtual):
    simulated = run([EXAMPLES_BUILD / "example_simulated_head"])
    assert simulated.returncode == 0, simulated.stderr
    assert simulated.stdout.splitlines() == [
        "MavoZARP 2.1.0", "?P         -> 0.100", "PCMD=2.5   -> (ok)", "?P         -> 2.600",
        "?HTYPE     -> Dummy", "?TTHG      -> status -3"]
    power = run([EXAMPLES_BUILD / "example_adapter_power"], virtual, "kora-band1,vfn")
    assert power.returncode == 0, power.stderr
    assert power.stdout.splitlines() == [
        "2 supplies", "Exit headType=Kora", "Exit status=0", "supply 0: Kora: power 0.000",
        "Exit headType=VFN", "Exit status=0", "supply 1: VFN: power 250.000"]


def test_python_status_table(virtual):
    table = run([sys.executable, EXAMPLES / "status_table.py", "--simulated",
                 virtual.bridge_ports[0], virtual.text_ports[0]], virtual, "picox-640,vfn")
    assert table.returncode == 0, table.stderr
    rows = [line.split() for line in table.stdout.splitlines()]
    assert rows[0] == ["supply", "head", "power", "current", "main", "temp.", "faults"]
    # Each adapter supply once, although closing the first moves it behind the second.
    assert [row[:2] for row in rows[1:]] == [
        ["simulated", "Dummy"], ["adapter", "0"], ["adapter", "1"], [virtual.bridge_ports[0], "Kora"],
        [virtual.text_ports[0], "Kora"]]
    assert rows[1][2:4] == ["0.1", "mW"] and rows[2][2] == "PicoX" and rows[3][2] == "VFN"
    assert "interlock-open" in rows[4]


def test_python_status_table_names_what_it_could_not_read(virtual):
    # A port without a supply among good ones: the rows that could be read, the port named.
    table = run([sys.executable, EXAMPLES / "status_table.py", "--simulated",
                 "/nonexistent/ttyMAVO", virtual.bridge_ports[0]], virtual, "vfn")
    assert table.returncode == 1
    assert [line.split()[0] for line in table.stdout.splitlines()] == [
        "supply", "simulated", "adapter", virtual.bridge_ports[0]]
    assert table.stderr == ("status_table.py: /nonexistent/ttyMAVO: open /nonexistent/ttyMAVO: "
                            "-300 serial port error: no such device\n")
    # Without an adapter library the table is not complete, and says so.
    alone = subprocess.run([sys.executable, EXAMPLES / "status_table.py"], capture_output=True,
                           text=True, timeout=60, env={
                               **os.environ, "PYTHONPATH": str(PYTHON_PACKAGE),
                               "LD_LIBRARY_PATH": ""})
    assert alone.returncode == 1 and alone.stdout == ""
    assert alone.stderr.startswith("status_table.py: adapters: discovery: -100 adapter library "
                                   "not loaded"), alone.stderr


def test_python_power_ramp_refusals_are_one_line(virtual):
    for arguments, status, message in [
            (["/nonexistent/ttyMAVO", "5"], 1,
             "power_ramp.py: open /nonexistent/ttyMAVO: -300 serial port error: no such device\n"),
            ([virtual.bridge_ports[0], "5000"], 1, "power_ramp.py: PCMD="),
            ([virtual.bridge_ports[0], "abc"], 2, "usage: power_ramp.py ")]:
        result = run([sys.executable, EXAMPLES / "power_ramp.py", *arguments])
        assert result.returncode == status, result.stderr
        assert result.stderr.startswith(message) and "Traceback" not in result.stderr, \
            result.stderr


def test_python_csv_logger(virtual):
    logged = run([sys.executable, EXAMPLES / "csv_logger.py", "--port", virtual.bridge_ports[1],
                  "--interval", "0.01", "--count", "3", "?P", "?TTHG", "?FF"])
    assert logged.returncode == 1, logged.stderr
    rows = list(csv.reader(io.StringIO(logged.stdout)))
    assert rows[0] == ["time", "elapsed_s", "?P", "?TTHG", "?FF"]
    assert len(rows) == 4 and all(row[2] == "0.0" and row[3] == "" for row in rows[1:])
    assert logged.stderr.count("?TTHG: -3 invalid command") == 1


def test_python_examples_without_their_arguments():
    # Their usage line and status 2, not a traceback. The status table needs no argument (it
    # shows the adapters' supplies then): an option it does not know stands in. Their help is
    # no mistake.
    for example, arguments in [("power_ramp.py", []), ("csv_logger.py", []),
                               ("status_table.py", ["--simulatd"])]:
        result = run([sys.executable, EXAMPLES / example, *arguments])
        assert result.returncode == 2, result.stderr
        assert result.stderr.startswith(f"usage: {example} "), result.stderr
        helped = run([sys.executable, EXAMPLES / example, "--help"])
        assert helped.returncode == 0 and helped.stdout.startswith(f"usage: {example} "), helped


def test_python_example_of_a_programs_own_test():
    result = run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                  "test_power_ramp.py"], cwd=EXAMPLES)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "2 passed" in result.stdout


def test_pip_installs_the_package_offline(tmp_path):
    installed = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-index", "--no-cache-dir", "--quiet",
         "--disable-pip-version-check",
         "--target", str(tmp_path), str(PYTHON_PACKAGE)], capture_output=True, text=True,
        timeout=120)
    assert installed.returncode == 0, installed.stderr
    # Without MAVOZARP_LIBRARY: the copy finds the library built in the tree it came from.
    environment = {key: value for key, value in os.environ.items() if key != "MAVOZARP_LIBRARY"}
    imported = subprocess.run([sys.executable, "-c", "import mavozarp; print(mavozarp.__file__, "
                               "mavozarp.version(), mavozarp.load_library()._name)"],
                              capture_output=True, text=True,
                              env={**environment, "PYTHONPATH": str(tmp_path)}, cwd=tmp_path)
    assert imported.stdout.split()[:3] == [str(tmp_path / "mavozarp" / "__init__.py"), "MavoZARP",
                                           "2.1.0"], imported.stderr
    assert imported.stdout.split()[3].startswith(str(ROOT / "build")), imported.stdout

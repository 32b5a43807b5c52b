"""The C# binding compiled with Mono's mcs and run with mono against the Linux library: the
example prints what the README's C program prints, and the Supply class meets virtual serial and
adapter supplies (SupplyChecks.cs)."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
LIBRARY = Path(os.environ["MAVOZARP_LIBRARY"])
ADAPTER_DIR = os.environ["MAVOZARP_ADAPTER_DIR"]
sys.path.insert(0, str(ROOT / "python"))
from mavozarp.virtual import Supplies  # noqa: E402

MCS, MONO = shutil.which("mcs"), shutil.which("mono")
pytestmark = pytest.mark.skipif(not (MCS and MONO), reason="Mono is not installed: the C# binding "
                                "needs Debian's mono-mcs and mono-runtime (scripts/install-packages.sh)")


def run(command, **environment):
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True,
                            timeout=120, env={**os.environ, **environment})
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """The example and the checks, each compiled with the binding (warnings are errors)."""
    folder = tmp_path_factory.mktemp("csharp")
    binding = ROOT / "bindings" / "csharp" / "MavoZARP.cs"
    for program, source in (("Simulated", ROOT / "examples" / "csharp" / "Simulated.cs"),
                            ("SupplyChecks", Path(__file__).with_name("SupplyChecks.cs"))):
        run([MCS, "-warnaserror", "-nologo", f"-out:{folder / program}.exe", source, binding])
    return folder


def mono(built, *arguments, **environment):
    # "MavoZARP" resolves to libMavoZARP.so through the loader's path, as for a user's program.
    path = os.pathsep.join([str(LIBRARY.parent), ADAPTER_DIR])
    return run([MONO, built / arguments[0], *arguments[1:]], LD_LIBRARY_PATH=path, **environment)


def test_example_prints_what_the_c_example_prints(built, tmp_path):
    readme = (ROOT / "README.md").read_text()
    program = re.search(r"## From C\n.*?```c\n(.*?)```", readme, re.S)[1]
    shown = re.search(r"\$ \./simulated\n(.*?)```", readme, re.S)[1]
    (tmp_path / "simulated.c").write_text(program)
    compiler = os.environ.get("CC", "cc")
    run([compiler, f"-I{ROOT / 'include'}", tmp_path / "simulated.c", LIBRARY,
         f"-Wl,-rpath,{LIBRARY.parent}", "-o", tmp_path / "simulated"])
    from_c = run([tmp_path / "simulated"])
    assert from_c == shown
    assert mono(built, "Simulated.exe") == from_c


def test_supply_on_serial_supplies(built):
    with Supplies(bridge=["kora-band1"], text=["Kora"]) as virtual:
        printed = mono(built, "SupplyChecks.exe", "serial", virtual.bridge_ports[0],
                       virtual.text_ports[0])
    # The library's own lines, as it identifies the bridge's head twice (text supplies: none).
    assert printed == "Exit headType=Kora\nExit status=0\n" * 2 + "all checks passed\n"


def test_supply_on_adapter_supplies(built):
    # Served inside the program's own process.
    printed = mono(built, "SupplyChecks.exe", "adapter", MAVOFTCI2C_EMULATED_SUPPLIES="kora-band1,vfn")
    assert printed == "Exit headType=VFN\nExit status=0\nall checks passed\n"

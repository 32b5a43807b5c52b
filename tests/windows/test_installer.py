"""The Windows installer under Wine, as a user runs it: installed silently into Program Files,
the installed tool answering, the emulated adapter library kept from the tool's folder, and a
silent uninstall that leaves neither files nor its Add/Remove Programs key.

scripts/test-wine.sh runs it with WINE (the loader), WINEPREFIX (its private prefix) and
MAVOZARP_WINDOWS_BUILDS (the build folders whose installers to try, separated by ':', each
already packaged by scripts/test-windows-packages.sh).
"""
import os
import pathlib
import shutil
import subprocess

import pytest

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\MavoZARP"
# Per architecture: the folder a per-machine install goes to on 64-bit Windows, and the registry
# view its uninstaller is registered in.
INSTALLATIONS = {
    "x86_64": (r"C:\Program Files\MavoZARP", "/reg:64"),
    "i686": (r"C:\Program Files (x86)\MavoZARP", "/reg:32"),
}
# Bounds for a hung program (a dialog nobody answers, a loader that never returns), not timing.
PROGRAM_SECONDS = 120


def distributed_files():
    lines = (SOURCE_DIR / "tests/windows/distribution.files").read_text().split("\n")
    return {line for line in lines if line}


def builds():
    return [pathlib.Path(build) for build in
            os.environ.get("MAVOZARP_WINDOWS_BUILDS", "").split(":") if build]


pytestmark = pytest.mark.skipif(
    not builds() or "WINE" not in os.environ or "WINEPREFIX" not in os.environ,
    reason="run by scripts/test-wine.sh, which sets WINE, WINEPREFIX and MAVOZARP_WINDOWS_BUILDS")


def unix_path(windows_path):
    relative = windows_path.removeprefix("C:\\").replace("\\", "/")
    return pathlib.Path(os.environ["WINEPREFIX"]) / "drive_c" / relative


def run(*command, env_extra=None):
    """Runs a program to its end; one that hangs is killed by its process id."""
    env = dict(os.environ, **(env_extra or {}))
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=env) as process:
        try:
            out, err = process.communicate(timeout=PROGRAM_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            raise
    return subprocess.CompletedProcess(command, process.returncode, out, err)


def wine(*arguments, env_extra=None):
    return run(os.environ["WINE"], *arguments, env_extra=env_extra)


def wait_for_prefix():
    """Waits until every program of the prefix has ended: an installer or uninstaller may return
    before its work is done (an NSIS uninstaller copies itself away and returns at once)."""
    run("wineserver", "-w")


@pytest.fixture
def prefix():
    """The prefix without any installation an earlier failed run left; afterwards every program
    still running in it (after a failure, an installer waiting on a dialog) is stopped."""
    for install_dir, view in INSTALLATIONS.values():
        if unix_path(install_dir).exists():
            shutil.rmtree(unix_path(install_dir))
            wine("reg", "delete", UNINSTALL_KEY, "/f", view)
            wait_for_prefix()
    yield
    run("wineserver", "-k")


@pytest.mark.parametrize("build", builds(), ids=str)
def test_silent_install_runs_and_uninstalls_cleanly(build, prefix, tmp_path):
    installers = sorted(build.glob("MavoZARP-*-windows-*-setup.exe"))
    assert len(installers) == 1, f"one installer in {build}: {installers}"
    installer = installers[0]
    architecture = installer.name.removesuffix("-setup.exe").rsplit("-", 1)[1]
    install_dir, view = INSTALLATIONS[architecture]
    installed = unix_path(install_dir)

    result = wine(str(installer), "/S")
    wait_for_prefix()
    assert result.returncode == 0, result.stderr
    files = {path.relative_to(installed).as_posix()
             for path in installed.rglob("*") if path.is_file()}
    assert files == distributed_files() | {"Uninstall.exe"}
    location = wine("reg", "query", UNINSTALL_KEY, "/v", "InstallLocation", view)
    assert install_dir in location.stdout, location.stdout + location.stderr

    tool = install_dir + r"\mavozarp.exe"
    reply = wine(tool, "send", "--simulated", "?P")
    assert (reply.returncode, reply.stdout.split()) == (0, ["?P", "->", "0.100"]), reply.stderr

    # Windows loads a DLL from the program's folder first: the emulated adapter library, kept
    # below it, must not answer for a real one; put beside a copy, as the README says, it does.
    emulated = {"MAVOFTCI2C_EMULATED_SUPPLIES": "vfk"}
    scan = wine(tool, "scan", env_extra=emulated)
    assert scan.returncode != 0 and "-100" in scan.stderr, scan.stdout + scan.stderr
    # ... and what to do about it is said as Windows has it.
    assert "MavoFTCI2C.DLL" in scan.stderr and "LD_LIBRARY_PATH" not in scan.stderr, scan.stderr
    served = wine(tool, "serve", "--help")
    assert served.returncode == 0 and "no MQTT" in served.stdout, served.stdout + served.stderr
    assert "--mqtt" not in served.stdout, served.stdout
    assert "no TLS" in served.stdout and "--tls-" not in served.stdout, served.stdout
    refused = wine(tool, "serve", "--simulated", "--tls-cert", "a.pem", "--tls-key", "a.key")
    assert refused.returncode == 2 and "no TLS" in refused.stderr, refused.stdout + refused.stderr
    for name in ("mavozarp.exe", "MavoZARP.dll", "emulated/MavoFTCI2C.DLL"):
        shutil.copy(installed / name, tmp_path)
    scan = wine(str(tmp_path / "mavozarp.exe"), "scan", env_extra=emulated)
    assert scan.returncode == 0 and "VFK" in scan.stdout, scan.stdout + scan.stderr

    result = wine(install_dir + r"\Uninstall.exe", "/S")
    wait_for_prefix()
    assert result.returncode == 0, result.stderr
    assert not installed.exists(), sorted(installed.rglob("*"))
    assert wine("reg", "query", UNINSTALL_KEY, view).returncode != 0

"""Virtual supplies for testing a program without hardware (Linux: the launcher serves them on
pseudo-terminals).

:class:`Supplies` starts ``mavozarp-sim`` (the launcher of virtual supplies), waits until it is
ready, gives the paths of its serial supplies and applies the environment it prints for its
adapter supplies; on exit, also when the block raises, it stops the launcher by its process id
and puts the environment back. A pytest fixture::

    import pytest
    import mavozarp
    from mavozarp.virtual import Supplies

    @pytest.fixture(scope="session")
    def supplies():
        with Supplies(bridge=["kora-band1"], text=["Kora"], adapter=["picox-640"]) as virtual:
            yield virtual

    def test_power_is_set(supplies):
        with mavozarp.open_serial(supplies.bridge_ports[0]) as supply:
            supply.power_command = 10.0  # a 10-bit converter: within one step of it
            assert supply.power_command == pytest.approx(10.0, abs=0.2)

Adapter supplies: the library loads the adapter library ``libMavoFTCI2C.so`` by its plain name
at its first use, and the process's dynamic loader reads ``LD_LIBRARY_PATH`` only when the
process starts. So when the launcher's environment names a folder for the emulated adapter
library, :class:`Supplies` loads that library from there itself; the library's later load by
name then finds it already loaded. This must happen before the library first uses an adapter
(:func:`mavozarp.scan`, :func:`mavozarp.adapter`, ...): enter :class:`Supplies` first. When the
emulated adapter library serves the supplies inside the program's own process, it reads their
list once, at its first use: the adapter supplies of a process are those of the first
:class:`Supplies` that named any, so give one session-wide fixture every adapter supply the
tests need (a warning says so when a later :class:`Supplies` asks for others).
"""

from __future__ import annotations

import contextlib
import ctypes
import logging
import os
import selectors
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import warnings
from pathlib import Path
from typing import IO, Iterable

from . import _discovery
from ._library import source_trees

logger = logging.getLogger("mavozarp.virtual")
LAUNCHER_VARIABLE = "MAVOZARP_SIM"
#: names the launcher's socket through which adapter supplies held by the launcher are reached
SHARED_SUPPLIES_VARIABLE = "MAVOFTCI2C_EMULATED_SOCKET"
_ADAPTER_LIBRARY = "libMavoFTCI2C.so"
_STOP_WAIT = 5.0


class LauncherError(RuntimeError):
    """The launcher could not be found or started, or stopped before it was ready."""


def find_launcher() -> str:
    """The ``mavozarp-sim`` program: ``MAVOZARP_SIM`` in the environment, the build folder of
    the source tree this package sits in or was pip-installed from, or the one on ``PATH``."""
    candidates = [os.environ.get(LAUNCHER_VARIABLE)]
    candidates += [str(tree / "build" / "linux" / "sim" / "mavozarp-sim") for tree in source_trees()]
    candidates.append(shutil.which("mavozarp-sim"))
    for candidate in candidates:
        if candidate and os.access(candidate, os.X_OK) and Path(candidate).is_file():
            return candidate
    raise LauncherError(f"mavozarp-sim not found: set {LAUNCHER_VARIABLE} to its path (for example "
                        f"{LAUNCHER_VARIABLE}=$HOME/MavoZARP/build/linux/sim/mavozarp-sim), or "
                        "put it on PATH")


def _names(kind: str, values: Iterable[str]) -> list[str]:
    if isinstance(values, str):
        raise TypeError(f"{kind} takes a list of names, not one str")
    names = list(values)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"{kind}: a name is a str, not {type(name).__name__}")
        if not name or "\0" in name:
            raise ValueError(f"{kind}: {name!r} is not a name")
    return names


class Supplies:
    """Virtual supplies served by ``mavozarp-sim`` while the ``with`` block runs.

    Args:
        bridge: head presets of supplies behind a UART-to-I2C bridge on pseudo-terminals
            (``mavozarp-sim --list-presets``: ``kora-band1``, ``picox-640``, ``vfk``, ...).
        text: head types of supplies that take the text commands themselves.
        adapter: entries of supplies on virtual USB-to-I2C adapters
            (``PRESET[@name=TEXT][@serial=TEXT][@location=NUMBER]``).
        launcher: the ``mavozarp-sim`` program; found by :func:`find_launcher` when omitted.
        timeout: seconds to wait for the launcher to be ready.
        shared: adapter supplies live in the launcher, so every program started with this
            environment reaches the same supplies and their settings (as with hardware); with
            ``False`` each process serves its own copies inside itself, which the emulated
            adapter library's test controls (plugging, failing transfers) can reach.
    """

    def __init__(self, bridge: Iterable[str] = (), text: Iterable[str] = (),
                 adapter: Iterable[str] = (), launcher: str | os.PathLike[str] | None = None,
                 timeout: float = 10.0, shared: bool = True) -> None:
        self._arguments = ([a for p in _names("bridge", bridge) for a in ("--bridge", p)] +
                           [a for t in _names("text", text) for a in ("--text", t)] +
                           [a for e in _names("adapter", adapter) for a in ("--adapter", e)])
        if not self._arguments:
            raise ValueError("no supplies asked for: give bridge, text or adapter")
        self._launcher = os.fspath(launcher) if launcher is not None else None
        self._timeout = timeout
        self._shared = shared
        self._process: subprocess.Popen[bytes] | None = None
        self._messages: IO[bytes] | None = None
        self._saved_environment: dict[str, str | None] = {}
        #: paths of the bridge supplies, in the order given
        self.bridge_ports: list[str] = []
        #: paths of the text supplies, in the order given
        self.text_ports: list[str] = []
        #: the variables the launcher's ``export`` lines set, as applied to ``os.environ``
        self.environment: dict[str, str] = {}

    @property
    def pid(self) -> int | None:
        """The launcher's process id while it runs."""
        return self._process.pid if self._process is not None else None

    def __enter__(self) -> Supplies:
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def start(self) -> None:
        """Starts the launcher and waits until its supplies are up."""
        if self._process is not None:
            raise RuntimeError("the virtual supplies are already running")
        launcher = self._launcher or find_launcher()
        # Its messages go to a file, which never fills up as a pipe would.
        self._messages = tempfile.TemporaryFile()
        self._process = subprocess.Popen(
            [launcher, *self._arguments], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=self._messages)
        try:
            exports = self._await_ready()
            self._apply(exports)
        except BaseException:
            self.stop()
            raise
        # Whatever it prints later is read, and logged, so that it never blocks on a full pipe.
        threading.Thread(target=self._log_output, args=(self._process.stdout,),
                         name="mavozarp-sim output", daemon=True).start()

    @staticmethod
    def _log_output(output: IO[bytes]) -> None:
        with contextlib.suppress(OSError, ValueError):
            for line in output:
                logger.debug("mavozarp-sim: %s", os.fsdecode(line.rstrip(b"\n")))

    def _await_ready(self) -> list[str]:
        assert self._process is not None and self._process.stdout is not None
        exports: list[str] = []
        output = self._process.stdout.fileno()
        pending = b""
        deadline = time.monotonic() + self._timeout
        with selectors.DefaultSelector() as selector:
            selector.register(output, selectors.EVENT_READ)
            while True:
                *lines, pending = pending.split(b"\n")
                for line in map(os.fsdecode, lines):
                    words = line.split()
                    if line.strip() == "ready":
                        return exports
                    if line.startswith("export "):
                        exports.append(line)
                    elif words and words[0] == "bridge":
                        self.bridge_ports.append(words[-1])
                    elif words and words[0] == "text":
                        self.text_ports.append(words[-1])
                left = deadline - time.monotonic()
                if left <= 0 or not selector.select(left):
                    raise LauncherError(f"mavozarp-sim was not ready within {self._timeout} s")
                piece = os.read(output, 4096)
                if not piece:
                    self._process.wait()
                    self._messages.seek(0)
                    problem = self._messages.read()
                    raise LauncherError(f"mavozarp-sim exited with status "
                                        f"{self._process.returncode}: "
                                        f"{os.fsdecode(problem).strip()}")
                pending += piece

    def _apply(self, exports: list[str]) -> None:
        """Applies every printed ``export`` line to ``os.environ``: a POSIX shell evaluates
        them, as they are written for one, and gives the resulting environment back."""
        if not exports:
            return
        script = "\n".join(exports) + "\nenv -0"
        shell = subprocess.run(["/bin/sh", "-c", script], capture_output=True, check=True,
                               env=dict(os.environ))
        after = dict(entry.split(b"=", 1) for entry in shell.stdout.split(b"\0") if b"=" in entry)
        names = [line.split()[1].split("=", 1)[0] for line in exports]
        if not self._shared:
            # Served inside this process: a launcher's socket, this one's or another's, is not
            # to be used.
            names = [name for name in names if name != SHARED_SUPPLIES_VARIABLE]
            self._saved_environment.setdefault(SHARED_SUPPLIES_VARIABLE,
                                               os.environ.get(SHARED_SUPPLIES_VARIABLE))
            os.environ.pop(SHARED_SUPPLIES_VARIABLE, None)
        for name in names:
            value = os.fsdecode(after.get(name.encode(), b""))
            self._saved_environment.setdefault(name, os.environ.get(name))
            os.environ[name] = value
            self.environment[name] = value
        self._warn_if_read_already(names)
        self._load_adapter_library(self.environment.get("LD_LIBRARY_PATH", ""))

    def _warn_if_read_already(self, names: list[str]) -> None:
        first_use = _discovery.adapter_environment_at_first_use
        if first_use is None:
            return
        changed = [n for n in names if n != "LD_LIBRARY_PATH" and first_use.get(n) != os.environ[n]]
        if changed:
            warnings.warn(
                "this process used the adapter library before: its emulated adapter supplies "
                f"may stay those it read then ({', '.join(changed)} changed since)",
                RuntimeWarning, stacklevel=4)

    @staticmethod
    def _load_adapter_library(search_path: str) -> None:
        # The dynamic loader took LD_LIBRARY_PATH at the start of the process: the library's load
        # by plain name finds the emulated adapter library only when it is loaded already.
        for folder in filter(None, search_path.split(":")):
            path = Path(folder) / _ADAPTER_LIBRARY
            if path.is_file():
                ctypes.CDLL(str(path))
                return

    def stop(self) -> None:
        """Stops the launcher (SIGTERM, then SIGKILL after a few seconds) and puts the
        environment back. Supplies opened on its ports answer with errors from then on."""
        process, self._process = self._process, None
        for name, value in self._saved_environment.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        self._saved_environment.clear()
        if process is None:
            return
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(_STOP_WAIT)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if process.stdout is not None:
            process.stdout.close()
        self._messages.close()

"""Keeps the library's two diagnostic lines out of the program's standard output.

When it identifies a head, the library prints "Exit headType=..." and "Exit status=..." to the
process's standard output (file descriptor 1, through the C runtime's ``stdout``). Around that one
call, descriptor 1 is pointed at a temporary file; afterwards it is pointed back, the two lines
are taken out of what was captured and handed to ``logging`` (logger ``mavozarp``, level DEBUG),
and every other byte that anyone wrote to descriptor 1 meanwhile is written through to the real
standard output, in its order. A temporary file rather than a pipe: a writer never blocks on a
full pipe while the call is running.

One lock serialises the switch, so two identifications on two threads never capture each other's
lines. It is the only lock this package adds.
"""

from __future__ import annotations

import ctypes
import logging
import os
import sys
import tempfile
import threading
from typing import Callable

logger = logging.getLogger("mavozarp")
_switching = threading.Lock()


class _PosixStdout:
    """Descriptor 1 of the process, which the library's C runtime shares."""

    def __init__(self) -> None:
        self._libc = ctypes.CDLL(None)
        self._libc.fflush.argtypes = [ctypes.c_void_p]

    def flush(self) -> None:
        self._libc.fflush(None)

    def redirect(self, path: str) -> int:
        sink = os.open(path, os.O_WRONLY | os.O_APPEND)
        try:
            saved = os.dup(1)
            os.dup2(sink, 1)
        finally:
            os.close(sink)
        return saved

    def restore(self, saved: int) -> None:
        os.dup2(saved, 1)
        os.close(saved)

    def write(self, data: bytes) -> None:
        while data:
            data = data[os.write(1, data):]


class _WindowsStdout:
    """Descriptor 1 of the C runtime the DLL prints through (msvcrt.dll for a MinGW build),
    which has its own table of descriptors beside Python's."""

    def __init__(self) -> None:
        self._crt = ctypes.CDLL("msvcrt")
        crt = self._crt
        crt.fflush.argtypes = [ctypes.c_void_p]
        crt._open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
        crt._write.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]

    def flush(self) -> None:
        self._crt.fflush(None)

    def redirect(self, path: str) -> int:
        crt = self._crt
        sink = crt._open(os.fsencode(path), os.O_WRONLY | os.O_APPEND | os.O_BINARY, 0)
        if sink < 0:
            raise OSError("cannot open the capture file in the C runtime")
        try:
            saved = crt._dup(1)
            if saved < 0 or crt._dup2(sink, 1) != 0:
                if saved >= 0:
                    crt._close(saved)
                raise OSError("the C runtime's standard output cannot be switched")
        finally:
            crt._close(sink)
        return saved

    def restore(self, saved: int) -> None:
        self._crt._dup2(saved, 1)
        self._crt._close(saved)

    def write(self, data: bytes) -> None:
        while data:
            written = self._crt._write(1, data, len(data))
            if written <= 0:
                return
            data = data[written:]


_stdout = _WindowsStdout() if sys.platform == "win32" else _PosixStdout()


def _flush_python_stdout() -> None:
    # What Python already holds for standard output goes out before the switch, not into it.
    for stream in (sys.stdout, sys.__stdout__):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            pass


def _take_out(data: bytes, line: bytes) -> tuple[bytes, bool]:
    at = data.find(line)
    if at < 0:
        return data, False
    return data[:at] + data[at + len(line):], True


def initialize_quietly(initialize: Callable[[int, ctypes.Array], int], handle: int,
                       head_type: ctypes.Array) -> int:
    """Runs ``initialize(handle, head_type)`` with the diagnostic lines sent to logging."""
    with _switching:
        _flush_python_stdout()
        _stdout.flush()
        descriptor, path = tempfile.mkstemp(prefix="mavozarp-stdout-")
        os.close(descriptor)
        try:
            try:
                saved = _stdout.redirect(path)
            except OSError:
                # No standard output to switch (closed, or not a descriptor): nothing to keep apart.
                return initialize(handle, head_type)
            try:
                status = initialize(handle, head_type)
            finally:
                _stdout.flush()
                _stdout.restore(saved)
            with open(path, "rb") as capture:
                captured = capture.read()
        finally:
            os.unlink(path)
        # The lines as the library writes them, from the head type and status it gave back.
        for line in (b"Exit headType=" + head_type.value + b"\n",
                     b"Exit status=" + str(status).encode() + b"\n"):
            captured, found = _take_out(captured, line)
            if found:
                logger.debug("%s", line.rstrip(b"\n").decode("latin-1"))
        if captured:
            _stdout.write(captured)
        return status

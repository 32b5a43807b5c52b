"""Keeps the library's two diagnostic lines out of the program's standard output.

When it identifies a head, the library prints "Exit headType=..." and "Exit status=..." through
the C runtime's ``stdout`` and flushes it. Around that one call the C runtime's standard output
is pointed at a capture file; afterwards it is pointed back, the two lines are taken out of what
was captured and handed to ``logging`` (logger ``mavozarp``, level DEBUG), and whatever else was
printed through the C runtime meanwhile is passed on to the real standard output.

Linux: the C library's ``stdout`` pointer is switched, not file descriptor 1, so Python's own
output, raw writes to descriptor 1 and child processes never see the switch and nothing of theirs
can be delayed or reordered. While the pointer is switched back and the captured text passed on,
the real ``stdout`` stays locked, so C output of other threads keeps its order too. The capture
file lives as long as the process: a thread that took the pointer just before the switch back
never writes into a closed stream.

Windows: the DLL prints through its C runtime (msvcrt.dll for a MinGW build), which keeps its own
table of descriptors beside Python's; its descriptor 1 is switched to the capture file and back.
Python's output does not pass through that runtime and is not affected.

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
    """The C library's ``stdout``, switched by its pointer."""

    def __init__(self) -> None:
        libc = ctypes.CDLL(None)
        # The definition the C library itself uses (the program's copy, where it has one).
        self._pointer = ctypes.c_void_p.in_dll(libc, "stdout")
        file = ctypes.c_void_p
        for name, arguments, result in (
                ("tmpfile", [], file), ("fflush", [file], ctypes.c_int),
                ("fileno", [file], ctypes.c_int), ("flockfile", [file], None),
                ("funlockfile", [file], None), ("rewind", [file], None),
                ("fwrite", [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_size_t, file],
                 ctypes.c_size_t)):
            function = getattr(libc, name)
            function.argtypes, function.restype = arguments, result
        self._libc = libc
        self._capture: int | None = None

    def call_captured(self, call: Callable[[], int]) -> tuple[int, bytes, Callable[[bytes], None]]:
        libc = self._libc
        if self._capture is None:
            self._capture = libc.tmpfile()
            if not self._capture:
                self._capture = None
                status = call()
                libc.flockfile(self._pointer.value)  # as release() expects
                return status, b"", lambda rest: None
        capture, real = self._capture, self._pointer.value
        self._pointer.value = capture
        try:
            status = call()
        finally:
            libc.flockfile(real)
            self._pointer.value = real
        try:
            libc.flockfile(capture)
            libc.fflush(capture)
            descriptor = libc.fileno(capture)
            size = os.lseek(descriptor, 0, os.SEEK_END)
            captured = os.pread(descriptor, size, 0)
            os.ftruncate(descriptor, 0)
            libc.rewind(capture)
            libc.funlockfile(capture)
            return status, captured, lambda rest: libc.fwrite(rest, 1, len(rest), real)
        except BaseException:
            libc.funlockfile(real)
            raise

    def release(self) -> None:
        self._libc.funlockfile(self._pointer.value)


class _WindowsStdout:
    """Descriptor 1 of the C runtime the DLL prints through."""

    def __init__(self) -> None:
        self._crt = ctypes.CDLL("msvcrt")
        crt = self._crt
        crt.fflush.argtypes = [ctypes.c_void_p]
        crt._open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
        crt._write.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]

    def call_captured(self, call: Callable[[], int]) -> tuple[int, bytes, Callable[[bytes], None]]:
        crt = self._crt
        crt.fflush(None)
        descriptor, path = tempfile.mkstemp(prefix="mavozarp-stdout-")
        os.close(descriptor)
        try:
            sink = crt._open(os.fsencode(path), os.O_WRONLY | os.O_APPEND | os.O_BINARY, 0)
            saved = crt._dup(1) if sink >= 0 else -1
            if saved < 0 or crt._dup2(sink, 1) != 0:
                # No standard output to switch: nothing to keep apart.
                for opened in (sink, saved):
                    if opened >= 0:
                        crt._close(opened)
                return call(), b"", self._write
            crt._close(sink)
            try:
                status = call()
            finally:
                crt.fflush(None)
                crt._dup2(saved, 1)
                crt._close(saved)
            with open(path, "rb") as capture:
                return status, capture.read(), self._write
        finally:
            os.unlink(path)

    def _write(self, data: bytes) -> None:
        while data:
            written = self._crt._write(1, data, len(data))
            if written <= 0:
                return
            data = data[written:]

    def release(self) -> None:
        pass


_stdout = _WindowsStdout() if sys.platform == "win32" else _PosixStdout()


def _take_out(data: bytes, line: bytes) -> tuple[bytes, bool]:
    at = data.find(line)
    if at < 0:
        return data, False
    return data[:at] + data[at + len(line):], True


def initialize_quietly(initialize: Callable[[int, ctypes.Array], int], handle: int,
                       head_type: ctypes.Array) -> int:
    """Runs ``initialize(handle, head_type)`` with the diagnostic lines sent to logging."""
    with _switching:
        status, captured, pass_on = _stdout.call_captured(lambda: initialize(handle, head_type))
        diagnostics = []
        try:
            # The lines as the library writes them, from the head type and status it gave back.
            for line in (b"Exit headType=" + head_type.value + b"\n",
                         b"Exit status=" + str(status).encode() + b"\n"):
                captured, found = _take_out(captured, line)
                if found:
                    diagnostics.append(line.rstrip(b"\n").decode("latin-1"))
            if captured:
                pass_on(captured)
        finally:
            _stdout.release()
    for line in diagnostics:
        logger.debug("%s", line)
    return status

"""Keeps the library's two diagnostic lines out of the program's standard output.

When it identifies a head, the library prints "Exit headType=..." and "Exit status=..." through
the C runtime's ``stdout`` and flushes it. Around that one call the C runtime's ``stdout`` is
pointed at a capture file; afterwards it is pointed back, the two lines are taken out of what was
captured and handed to ``logging`` (logger ``mavozarp``, level DEBUG), and whatever else was
printed through the C runtime meanwhile is passed on to the real standard output, in its order.

Linux (glibc): the descriptor of the C library's ``stdout`` stream is switched, under the stream's
own lock, and not file descriptor 1. Python's own output, raw writes to descriptor 1 and child
processes never see the switch, so nothing of theirs is delayed or reordered; C output of other
threads goes through the same stream, locked as always, so it keeps its order too. (Switching
descriptor 1 instead would let a write made just after the switch back overtake bytes captured
just before it; switching the ``stdout`` pointer would split a ``puts`` running in another thread
between two streams and their locks.)

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
    """The C library's ``stdout`` stream, switched by its descriptor."""

    # glibc's public FILE layout: an int of flags (padded to a pointer) and 13 pointers come
    # before the descriptor.
    _DESCRIPTOR_OFFSET = 14 * ctypes.sizeof(ctypes.c_void_p)

    def __init__(self) -> None:
        libc = ctypes.CDLL(None)
        file = ctypes.c_void_p
        for name, arguments, result in (
                ("fflush", [file], ctypes.c_int), ("fileno", [file], ctypes.c_int),
                ("flockfile", [file], None), ("funlockfile", [file], None),
                ("fwrite", [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_size_t, file],
                 ctypes.c_size_t)):
            function = getattr(libc, name)
            function.argtypes, function.restype = arguments, result
        self._libc = libc
        # The definition the C library itself uses (the program's copy, where it has one).
        self._stream = ctypes.c_void_p.in_dll(libc, "stdout").value
        # Kept open for the process's lifetime, so the stream never points at a closed one.
        self._capture = tempfile.TemporaryFile(prefix="mavozarp-stdout-")
        self._descriptor = None
        if self._stream and self._layout_known():
            self._descriptor = ctypes.c_int.from_address(self._stream + self._DESCRIPTOR_OFFSET)

    def _layout_known(self) -> bool:
        libc = self._libc
        libc.fdopen.argtypes, libc.fdopen.restype = [ctypes.c_int, ctypes.c_char_p], ctypes.c_void_p
        libc.fclose.argtypes = [ctypes.c_void_p]
        probe = libc.fdopen(os.dup(self._capture.fileno()), b"r")
        if not probe:
            return False
        try:
            at = ctypes.c_int.from_address(probe + self._DESCRIPTOR_OFFSET).value
            return at == libc.fileno(probe) and \
                ctypes.c_int.from_address(self._stream + self._DESCRIPTOR_OFFSET).value == \
                libc.fileno(self._stream)
        finally:
            libc.fclose(probe)

    def call_captured(self, call: Callable[[], int]) -> tuple[int, bytes, Callable[[bytes], None]]:
        libc, stream, descriptor = self._libc, self._stream, self._descriptor
        if descriptor is None:
            # No stream, or not glibc's layout: the lines stay on standard output.
            return call(), b"", lambda rest: None
        capture = self._capture.fileno()
        libc.flockfile(stream)
        libc.fflush(stream)  # what is pending belongs to the real output
        real = descriptor.value
        descriptor.value = capture
        libc.funlockfile(stream)
        try:
            status = call()
        finally:
            libc.flockfile(stream)
            libc.fflush(stream)
            descriptor.value = real
        # The stream stays locked until release(): what was captured goes out before anything
        # printed after it.
        try:
            captured = os.pread(capture, os.lseek(capture, 0, os.SEEK_END), 0)
            os.ftruncate(capture, 0)
            os.lseek(capture, 0, os.SEEK_SET)
        except BaseException:
            libc.funlockfile(stream)
            raise
        return status, captured, lambda rest: libc.fwrite(rest, 1, len(rest), stream)

    def release(self) -> None:
        if self._descriptor is not None:
            self._libc.funlockfile(self._stream)


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


_stdout: _PosixStdout | _WindowsStdout | None = None  # made at the first identification


def _take_out(data: bytes, line: bytes) -> tuple[bytes, bool]:
    at = data.find(line)
    if at < 0:
        return data, False
    return data[:at] + data[at + len(line):], True


def initialize_quietly(initialize: Callable[[int, ctypes.Array], int], handle: int,
                       head_type: ctypes.Array) -> int:
    """Runs ``initialize(handle, head_type)`` with the diagnostic lines sent to logging."""
    global _stdout
    with _switching:
        if _stdout is None:
            _stdout = _WindowsStdout() if sys.platform == "win32" else _PosixStdout()
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

"""Exceptions: one class per status code of the library.

Every failure the library reports becomes an exception carrying the status code, its name and
the command (or call) that failed; a refused command never passes silently. Bad arguments are
refused before they reach the library, with the usual ``TypeError`` and ``ValueError``.
"""

from __future__ import annotations


class MavoZARPError(Exception):
    """A status other than success, reported by the library.

    Attributes:
        code: the library's status code (negative; a positive value is the adapter library's own).
        name: the short name of the code, for example ``"invalid command"``.
        command: the command or call that failed, for example ``"?TTHG"`` or ``"open /dev/pts/3"``.
        reply: what the supply answered, without its line end (a text supply's ``ERR`` answer),
            or ``""``.
    """

    code: int = 0
    name: str = "unknown status"
    meaning: str = "a status the library does not document"

    def __init__(self, code: int | None = None, command: str | None = None, reply: str = ""):
        if code is not None:
            self.code = code
        self.command = command
        self.reply = reply
        where = f"{command}: " if command else ""
        super().__init__(f"{where}{self.code} {self.name}: {self.meaning}")


class UnknownHandle(MavoZARPError):
    code, name = -1, "unknown handle"
    meaning = "the device is not known (closed, unplugged or never opened)"


class SupplyClosedError(UnknownHandle):
    """The :class:`~mavozarp.Supply` was closed; nothing was sent."""

    meaning = "the supply is closed"


class InvalidHead(MavoZARPError):
    code, name = -2, "invalid head"
    meaning = "no head identified on this supply, or its head type is unknown"


class InvalidCommand(MavoZARPError):
    code, name = -3, "invalid command"
    meaning = "not understood or not supported by this head"


class InvalidData(MavoZARPError):
    code, name = -4, "invalid data"
    meaning = "argument unreadable or out of range"


class I2CError(MavoZARPError):
    code, name = -5, "I2C error"
    meaning = "an I2C transfer through the adapter failed"


class AdapterLibraryError(MavoZARPError):
    """The USB-to-I2C adapter library failed; also its own status codes, passed back."""

    name = "adapter library status"
    meaning = "a status of the adapter library, passed back unchanged"


class AdapterLibraryNotLoaded(AdapterLibraryError):
    code, name = -100, "adapter library not loaded"
    meaning = ("the adapter library (libMavoFTCI2C.so, MavoFTCI2C.DLL) could not be loaded: "
               "install the package mavozarp-ftdi-adapter, or add the folder holding it to "
               "LD_LIBRARY_PATH (Windows: put it beside the program or in PATH)")


class AdapterLibraryIncomplete(AdapterLibraryError):
    code, name = -101, "adapter library incomplete"
    meaning = "the adapter library lacks an entry point"


class AdapterLibraryException(AdapterLibraryError):
    code, name = -102, "adapter library exception"
    meaning = "the adapter library raised an exception"


class SerialPortError(MavoZARPError):
    """Also raised when a port cannot be opened; then ``reason`` tells why, as the ``mavozarp``
    tool does ("no such device", "permission denied: ... join it ...", "held by another
    process: minicom (pid 4242)", "not a serial device: ..."), or is None when the system shows
    no cause (the port is usable and no supply answered)."""

    code, name = -300, "serial port error"
    meaning = "serial port failure, no supply recognised on the port, or no answer"

    def __init__(self, code: int | None = None, command: str | None = None, reply: str = "",
                 reason: str | None = None):
        self.reason = reason
        if reason is not None:
            self.meaning = reason
        super().__init__(code, command, reply)


class LockError(MavoZARPError):
    code, name = -400, "lock failed"
    meaning = "the library's lock could not be taken"


class OtherError(MavoZARPError):
    code, name = -999, "other error"
    meaning = "any other failure (bridge protocol and more)"


class ReplyFormatError(ValueError):
    """A reply that does not read as the command's reply format (a text supply's own answer)."""

    def __init__(self, command: str, reply: str, expected: str):
        self.command, self.reply = command, reply
        super().__init__(f"{command}: the reply {reply!r} is not {expected}")


_BY_CODE: dict[int, type[MavoZARPError]] = {
    cls.code: cls
    for cls in (UnknownHandle, InvalidHead, InvalidCommand, InvalidData, I2CError,
                AdapterLibraryNotLoaded, AdapterLibraryIncomplete, AdapterLibraryException,
                SerialPortError, LockError, OtherError)
}


def error_for(code: int, command: str | None = None, reply: str = "") -> MavoZARPError:
    """The exception for a status code: its own class, or :class:`AdapterLibraryError` for a
    status of the adapter library, or :class:`MavoZARPError` for an undocumented code."""
    cls = _BY_CODE.get(code)
    if cls is None:
        cls = AdapterLibraryError if code > 0 else MavoZARPError
        return cls(code, command, reply)
    return cls(None, command, reply)

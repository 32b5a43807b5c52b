"""The library as a whole: its version, discovery of the adapters' supplies, and opening a supply."""

from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass

from . import _library as lib
from ._diagnostics import initialize_quietly
from ._ports import port_problem
from ._supply import Supply, _check, _text
from .errors import MavoZARPError, SerialPortError

# The environment at the first use of the adapter library in this process: the emulated adapter
# library reads its supplies from it once (see mavozarp.virtual).
adapter_environment_at_first_use: dict[str, str] | None = None


def _note_adapter_use() -> None:
    global adapter_environment_at_first_use
    if adapter_environment_at_first_use is None:
        adapter_environment_at_first_use = dict(os.environ)


def version() -> str:
    """The library's version text, ``"MavoZARP 2.1.0"``."""
    buffer = lib.Buffer()
    _check(lib.load_library().MavoZARP_GetDLLVersion(buffer), "version")
    return _text(buffer)


def adapter_library_version() -> str:
    """The USB-to-I2C adapter library's version text; loads the adapter library if needed.

    Raises :class:`~mavozarp.errors.AdapterLibraryNotLoaded` when it cannot be loaded, or the
    adapter library's own status as :class:`~mavozarp.errors.AdapterLibraryError`.
    """
    _note_adapter_use()
    buffer = lib.Buffer(*b"?*")
    _check(lib.load_library().MavoZARP_GetDLLVersion(buffer), "adapter library version")
    return _text(buffer).partition("; MavoFTCI2C ")[2]


@dataclass(frozen=True)
class ScanEntry:
    """One supply on the USB-to-I2C adapters; :meth:`open` opens it.

    ``for found in mavozarp.scan(): with found.open() as supply: ...`` opens each supply once,
    whatever closing the others does to the discovery list.
    """

    index: int                 #: position in the discovery list, as :func:`adapter` takes it
    handle: int                #: the library's handle
    head_type: str | None      #: ``None`` when the head could not be identified
    model: str | None          #: the laser model (``?LASERMODEL``), ``None`` when unknown
    error: MavoZARPError | None = None  #: why the head or its model could not be read
    head_id: str | None = None  #: the head's identifier (``?HID``), ``None`` when unknown

    def open(self) -> Supply:
        """This supply, with its head identified: by its handle while discovery still lists it,
        else (closed and found anew under another handle) by its head's identifier.

        Raises ``LookupError`` when the supply is no longer on the adapters.
        """
        every, _, _ = _discover()
        if self.handle in every:
            return _open_adapter(self.handle, f"adapter supply {every.index(self.handle)}")
        if self.head_id is None:
            raise LookupError(f"adapter supply {self.index} (handle {self.handle}) is no longer "
                              "on the adapters")
        return adapter(head_id=self.head_id)


@dataclass(frozen=True)
class Changes:
    """What discovery found since the previous scan."""

    found: list[ScanEntry]     #: supplies new since the previous scan, identified
    removed: list[int]         #: handles of the supplies that stopped answering


def _discover() -> tuple[list[int], list[int], list[int]]:
    _note_adapter_use()
    lists = [lib.HandleList() for _ in range(3)]
    counts = [ctypes.c_int32() for _ in range(3)]
    _check(lib.load_library().MavoZARP_CheckForDevices(
        lists[0], counts[0], lists[1], counts[1], lists[2], counts[2]), "discovery")
    return tuple(list(handles[:max(0, min(count.value, lib.MAX_DEVICES))])  # type: ignore
                 for handles, count in zip(lists, counts))


def _identify(handle: int, call: str) -> str:
    head_type = lib.Buffer()
    status = initialize_quietly(lib.load_library().MavoZARP_InitializeHandle, handle, head_type)
    _check(status, call, _text(head_type))
    return _text(head_type)


def _entry(index: int, handle: int) -> ScanEntry:
    try:
        head_type = _identify(handle, f"identify the head of adapter supply {index}")
    except MavoZARPError as failure:
        return ScanEntry(index, handle, None, None, failure)
    supply = Supply(handle, "adapter", head_type)
    try:
        model = supply.send("?LASERMODEL")
        head_id = supply.send("?HID")
    except MavoZARPError as failure:
        return ScanEntry(index, handle, head_type, None, failure)
    return ScanEntry(index, handle, head_type, model, head_id=head_id)


def scan() -> list[ScanEntry]:
    """The supplies on the USB-to-I2C adapters, each identified, in discovery order.

    Discovery opens every supply it finds; they stay known to the library until they stop
    answering. Raises :class:`~mavozarp.errors.AdapterLibraryError` when the adapter library
    cannot be used.
    """
    every, _, _ = _discover()
    return [_entry(index, handle) for index, handle in enumerate(every)]


def changes() -> Changes:
    """Supplies found and removed since the previous :func:`scan` or :func:`changes`."""
    every, found, removed = _discover()
    return Changes([_entry(every.index(handle), handle) for handle in found], removed)


def simulated() -> Supply:
    """The simulated head (handle -1), which needs no hardware. Closing it does nothing."""
    lib.load_library()
    return Supply(lib.SIMULATED_HANDLE, "simulated", "Dummy")


def open_serial(port: str | os.PathLike[str]) -> Supply:
    """The supply on a serial port (``/dev/ttyUSB0``, ``COM3``): a UART-to-I2C bridge or a
    supply that takes the text commands itself, with its head identified.

    Raises :class:`~mavozarp.errors.SerialPortError` when no supply answers on the port, with
    the ``reason`` the port cannot be used when the system tells one.
    """
    if not isinstance(port, (str, os.PathLike)):
        raise TypeError(f"a port is a str or a path, not {type(port).__name__}")
    name = os.fsencode(port)
    if b"\0" in name or not name:
        raise ValueError(f"port {port!r}: not a port name")
    library = lib.load_library()
    handle = lib.Handle()
    call = f"open {os.fsdecode(name)}"
    status = library.MavoZARP_OpenSerialPort(name, ctypes.byref(handle))
    if status == SerialPortError.code:
        raise SerialPortError(status, call, reason=port_problem(os.fsdecode(name)))
    _check(status, call)
    try:
        head_type = _identify(handle.value, f"identify the head on {os.fsdecode(name)}")
    except BaseException:
        library.MavoZARP_Close(handle.value)
        raise
    return Supply(handle.value, "serial", head_type, os.fsdecode(name))


def _open_adapter(handle: int, name: str) -> Supply:
    return Supply(handle, "adapter", _identify(handle, f"identify the head of {name}"))


def adapter(index: int | None = None, *, head_id: str | None = None) -> Supply:
    """The supply at ``index`` of the adapters' discovery list (as :func:`scan` numbers them),
    or the one whose head answers ``?HID`` with ``head_id``, with its head identified. Raises
    ``IndexError`` when there is no supply at the index, ``LookupError`` when no head has the id.

    Discovery opens every supply on the adapters, and they stay known to the library. Closing an
    adapter supply makes the next discovery report it removed and find it anew, at the end of the
    list: the indexes of a process follow its history, those of a fresh process the adapters'.
    A head's id does not move; nor does a :class:`ScanEntry`, which opens itself.
    """
    if (index is None) == (head_id is None):
        raise TypeError("adapter() takes an index or a head_id, one of them")
    if head_id is not None:
        if not isinstance(head_id, str):
            raise TypeError(f"a head id is a str, not {type(head_id).__name__}")
        return _adapter_by_head_id(head_id)
    if isinstance(index, bool) or not isinstance(index, int):
        raise TypeError(f"an adapter index is an int, not {type(index).__name__}")
    if index < 0:
        raise ValueError(f"adapter index {index}: counts from 0")
    every, _, _ = _discover()
    if index >= len(every):
        raise IndexError(f"no supply at adapter index {index}: {len(every)} found")
    return _open_adapter(every[index], f"adapter supply {index}")


def _adapter_by_head_id(head_id: str) -> Supply:
    every, _, _ = _discover()
    seen = []
    for index, handle in enumerate(every):
        try:
            supply = _open_adapter(handle, f"adapter supply {index}")
            seen.append(supply.send("?HID"))
        except MavoZARPError:
            continue  # a supply that cannot tell its id is not the one asked for
        if seen[-1] == head_id:
            return supply
    raise LookupError(f"no adapter supply has head id {head_id!r}; found: "
                      f"{', '.join(seen) or 'none that answers'}")

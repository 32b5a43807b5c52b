"""MavoZARP from Python: laser power supplies as Python objects.

>>> import mavozarp
>>> with mavozarp.simulated() as supply:
...     supply.power_command = 2.5
...     print(supply.power, supply.fault_word.names)

Supplies come from :func:`open_serial` (a serial port), the entries of :func:`scan` (the
USB-to-I2C adapters: ``for found in mavozarp.scan(): with found.open() as supply: ...``),
:func:`adapter` (an adapter supply by its index in that list or by its head's id) and
:func:`simulated` (no hardware). Every failure the library reports is raised as a
:class:`MavoZARPError` subclass named after its status code.
The library's diagnostic lines ("Exit headType=...") go to the ``mavozarp`` logger at DEBUG
level instead of standard output. :mod:`mavozarp.virtual` starts virtual supplies for tests.

Thread safety: any thread may use any supply; the library serialises its calls with its own lock
and the package adds no lock of its own, except one held while a head is identified, so that the
diagnostic lines of one identification are never taken for another's.
"""

from ._library import LIBRARY_VARIABLE, LibraryNotFoundError, load_library
from ._discovery import (Changes, ScanEntry, adapter, adapter_library_version, changes,
                         open_serial, scan, simulated, version)
from ._supply import FaultWord, Reading, Sample, Status, Supply
from ._tables import FaultFlag
from .errors import (AdapterLibraryError, AdapterLibraryException, AdapterLibraryIncomplete,
                     AdapterLibraryNotLoaded, I2CError, InvalidCommand, InvalidData, InvalidHead,
                     LockError, MavoZARPError, OtherError, ReplyFormatError, SerialPortError,
                     SupplyClosedError, UnknownHandle, error_for)

__version__ = "2.1.0"

__all__ = [
    "LIBRARY_VARIABLE", "LibraryNotFoundError", "load_library",
    "Changes", "FaultFlag", "FaultWord", "Reading", "Sample", "ScanEntry", "Status", "Supply",
    "adapter", "adapter_library_version", "changes", "open_serial", "scan", "simulated",
    "version",
    "AdapterLibraryError", "AdapterLibraryException", "AdapterLibraryIncomplete",
    "AdapterLibraryNotLoaded", "I2CError", "InvalidCommand", "InvalidData", "InvalidHead",
    "LockError", "MavoZARPError", "OtherError", "ReplyFormatError", "SerialPortError",
    "SupplyClosedError", "UnknownHandle", "error_for",
]

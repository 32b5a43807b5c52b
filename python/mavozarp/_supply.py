"""One supply as a Python object: commands, readings, settings, status and watching."""

from __future__ import annotations

import ctypes
import math
import numbers
import threading
import time
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Generic, Iterable, Iterator, TypeVar

from . import _library as lib
from ._tables import (FAULT_WORD_QUERY, LOOPS, PANEL, QUERY_KINDS, SET_PREFIXES, STAGES,
                      Family, FaultFlag, Kind, family_of)
from .errors import (InvalidCommand, MavoZARPError, ReplyFormatError, SupplyClosedError,
                     UnknownHandle, error_for)

Value = float | int | str
T = TypeVar("T")

# What a board answers for a stage reading its revision lacks.
_LACKED_BY_BOARD = -1.0

# The library reads a command as a C string into a buffer of this many bytes, terminator included.
_LONGEST_COMMAND = lib.BUFFER_SIZE - 1

# Commands checked and encoded once: a program sends the same few commands again and again.
_encoded_commands: dict[str, bytes] = {}
_ENCODED_COMMANDS_KEPT = 4096


def _checked_command(command: object) -> bytes:
    encoded = _encoded_commands.get(command)  # type: ignore[call-overload]
    if encoded is not None:
        return encoded
    if type(command) is not str:
        raise TypeError(f"a command is a str, not {type(command).__name__}")
    if not command.isascii():
        raise ValueError(f"command {command!r}: only ASCII text is understood")
    if "\0" in command:
        raise ValueError(f"command {command!r}: a NUL character would cut it short")
    if len(command) > _LONGEST_COMMAND:
        raise ValueError(f"command {command[:20]!r}...: {len(command)} characters, "
                         f"the library takes at most {_LONGEST_COMMAND}")
    encoded = command.encode("ascii")
    if len(_encoded_commands) < _ENCODED_COMMANDS_KEPT:
        _encoded_commands[command] = encoded
    return encoded


# One reply buffer per thread, used only for the length of one call.
_per_thread = threading.local()


def _reply_buffer() -> ctypes.Array:
    try:
        return _per_thread.reply
    except AttributeError:
        _per_thread.reply = lib.Buffer()
        return _per_thread.reply


def _text(buffer: ctypes.Array) -> str:
    # Replies end in CR LF; a text supply's answer may carry line ends of its own.
    return buffer.value.decode("latin-1").rstrip("\r\n")


def _check(status: int, call: str, reply: str = "") -> None:
    if status != 0:
        raise error_for(status, call, reply)


def _parse(command: str, reply: str, kind: Kind) -> Value:
    try:
        if kind is Kind.NUMBER:
            return float(reply)
        if kind is Kind.STATE:
            return int(reply)
        if kind is Kind.WORD:
            return int(reply, 16)
    except ValueError:
        raise ReplyFormatError(command, reply, kind.value) from None
    return reply



@dataclass(frozen=True)
class FaultWord:
    """The fault word (``?FF``) with its set bits decoded for the head's family."""

    word: int
    family: str
    flags: tuple[FaultFlag, ...]   #: the set bits the family names, in the family's order
    undefined_bits: tuple[int, ...]  #: set bits without a meaning on this head

    @property
    def names(self) -> frozenset[str]:
        """The names of the set flags, such as ``"interlock-open"``."""
        return frozenset(flag.name for flag in self.flags)

    def __contains__(self, name: object) -> bool:
        return name in self.names

    def __bool__(self) -> bool:
        return self.word != 0

    @classmethod
    def decode(cls, word: int, head_type: str) -> FaultWord:
        family = family_of(head_type)
        named = 0
        for flag in family.fault_flags:
            named |= flag.bit
        return cls(word, family.name, tuple(f for f in family.fault_flags if word & f.bit),
                   tuple(1 << b for b in range(32) if word & (1 << b) and not named & (1 << b)))


@dataclass(frozen=True)
class Reading:
    """One reading of the status panel, as ``mavozarp status --json`` gives it."""

    command: str
    #: ``False``: the head has no such reading (nothing else set), or its board revision lacks
    #: it (``status`` and ``reply`` keep the board's answer, -1.000; no ``value``)
    supported: bool
    status: int | None = None        #: 0 on success, else the library's code
    reply: str | None = None
    value: Value | None = None       #: typed; ``None`` on failure or for a non-finite number
    unit: str | None = None
    error: MavoZARPError | None = None


@dataclass(frozen=True)
class Status:
    """Everything the head can tell, as the tool's status panel shows it."""

    head_type: str
    family: str
    readings: dict[str, Reading]     #: by the names of ``mavozarp status --json``
    faults: FaultWord | None         #: ``None`` when the fault word could not be read

    def __getitem__(self, key: str) -> Value | None:
        """The value of a reading by name: ``status["power"]``."""
        return self.readings[key].value

    @property
    def ok(self) -> bool:
        """Every reading the head has succeeded."""
        return all(r.error is None for r in self.readings.values())


@dataclass(frozen=True)
class Sample:
    """One sample of :meth:`Supply.watch`."""

    time: datetime                   #: when the sample began, UTC
    elapsed: float                   #: seconds since the watch began
    values: dict[str, Value | MavoZARPError] = field(default_factory=dict)
    """Each command's typed value, or the error it met (watching goes on)."""


class _Query(Generic[T]):
    """A named reading, and a setting where the language has a set command for it."""

    def __init__(self, command: str, doc: str, set_prefix: str | None = None,
                 boolean: bool = False) -> None:
        self.command, self.set_prefix, self.boolean = command, set_prefix, boolean
        self.__doc__ = doc

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    def __get__(self, supply: Supply | None, owner: type | None = None) -> T:
        if supply is None:
            return self  # type: ignore[return-value]
        value = supply.query(self.command)
        return bool(value) if self.boolean else value  # type: ignore[return-value]

    def __set__(self, supply: Supply, value: T) -> None:
        if self.set_prefix is None:
            raise AttributeError(f"{self.name} is a reading; it cannot be set")
        supply.send(self.set_prefix + _argument(self.name, value, self.set_prefix))


# Settings whose argument is exactly 0 or 1.
_ON_OFF_SETTINGS = ("SHCMD=", "KSWCMD=", "ANACMD=", "REM=", "CMODECMD=")


def _argument(name: str, value: object, prefix: str) -> str:
    if prefix in _ON_OFF_SETTINGS:
        if value not in (0, 1) or not isinstance(value, int):
            raise TypeError(f"{name} takes True, False, 0 or 1, not {value!r}")
        return "1" if value else "0"
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} takes a number, not {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name}: {number} is not a finite number")
    return repr(number)


class Supply:
    """One supply with its head: send commands, read and set by name, watch.

    Made by :func:`open_serial`, :func:`adapter` or :func:`simulated`; a context manager that
    closes the supply on exit. After :meth:`close` every call raises
    :class:`~mavozarp.errors.SupplyClosedError` and nothing reaches the library.

    Any thread may use any supply: the library runs one call at a time under its own lock, and
    this class adds none. Closing a supply while another thread still sends to it is the caller's
    to avoid (a serial port's handle number may be given to a port opened later).
    """

    def __init__(self, handle: int, transport: str, head_type: str, port: str | None = None):
        self._handle: int | None = handle
        # The hot path passes ready-made C values, so ctypes has nothing to convert per call.
        self._handle_argument: lib.Handle | None = lib.Handle(handle)
        self._send_command = lib.send_command_unconverted()
        #: ``"serial"``, ``"adapter"`` or ``"simulated"``
        self.transport = transport
        #: the head type the library identified (``"Kora"``, ``"Dummy"``, ...)
        self.head_type = head_type
        #: the serial port's name, for a supply on a serial port
        self.port = port

    def __repr__(self) -> str:
        where = self.port or self.transport
        state = "closed" if self._handle is None else f"handle {self._handle}"
        return f"<mavozarp.Supply {self.head_type} on {where}, {state}>"

    def __enter__(self) -> Supply:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def handle(self) -> int:
        """The library's handle of this supply."""
        if self._handle is None:
            raise SupplyClosedError(command="handle")
        return self._handle

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        """Closes the supply (the simulated head is only forgotten); a second close does
        nothing. When the adapter library fails to close an adapter supply, its status is
        raised and the supply stays open, so that closing can be tried again."""
        handle = self._handle
        if handle is None or handle == lib.SIMULATED_HANDLE:
            self._handle = self._handle_argument = None
            return
        status = lib.load_library().MavoZARP_Close(handle)
        # A serial port is forgotten either way, and so is a handle the library no longer knows.
        if status in (0, UnknownHandle.code) or self.transport != "adapter":
            self._handle = self._handle_argument = None
        _check(status, "close")

    def send(self, command: str) -> str:
        """Sends one command and gives the reply without its line end (``""`` for a setting).

        Raises the :class:`~mavozarp.errors.MavoZARPError` subclass of the library's status
        when the command fails, ``TypeError`` or ``ValueError`` for a command the library cannot
        take (not a str, not ASCII, a NUL character, more than 99 characters).
        """
        handle = self._handle_argument
        encoded = _checked_command(command)
        if handle is None:
            raise SupplyClosedError(command=command)
        reply = _reply_buffer()
        status = self._send_command(handle, encoded, reply)
        if status:
            raise error_for(status, command, _text(reply))
        return reply.value.decode("latin-1").rstrip("\r\n")

    def query(self, command: str) -> Value:
        """Sends a query and gives its reply typed by the command's reply format: ``float``
        for readings (``?P``), ``int`` for states (``?L``) and hexadecimal words (``?FF``),
        ``str`` for texts (``?HTYPE``) and for commands the package does not know.

        Raises ``ValueError`` for a set command (use :meth:`send`) and
        :class:`~mavozarp.errors.ReplyFormatError` for a reply that does not read as its format.
        """
        _checked_command(command)
        upper = command.upper()
        if upper.startswith(SET_PREFIXES):
            raise ValueError(f"{command!r} is a setting, not a query: use send()")
        kind = QUERY_KINDS.get(upper, Kind.TEXT)
        return _parse(command, self.send(command), kind)

    power = _Query[float]("?P", "Output power, in the head's power unit (:attr:`power_unit`).")
    power_command = _Query[float]("?PCMD", "Power command, in the power unit; settable.", "PCMD=")
    power_limit = _Query[float]("?PLIM", "Power limit, in the power unit.")
    power_memory = _Query[float]("?PMEM", "Stored power command, in the power unit; settable.",
                                 "PMEM=")
    power_unit = _Query[str]("?POWERUNITS", "The head's power unit, for example ``mW``.")
    current = _Query[float]("?C", "Current, A.")
    current_command = _Query[float]("?CCMD", "Current command, A; settable.", "CCMD=")
    current_limit = _Query[float]("?CLIM", "Current limit, A.")
    laser_on = _Query[bool]("?L", "Whether the laser is on.", boolean=True)
    shutter_open = _Query[bool]("?SH", "Whether the shutter is open; set to open or close it.",
                                "SHCMD=", boolean=True)
    key_switch = _Query[bool]("?KSW", "Key switch state (the key itself).", boolean=True)
    key_switch_command = _Query[bool]("?KSWCMD", "Key switch command; settable.", "KSWCMD=",
                                      boolean=True)
    interlock = _Query[bool]("?INT", "Interlock state (``True``: closed).", boolean=True)
    fan = _Query[bool]("?FAN", "Fan state.", boolean=True)
    remote = _Query[bool]("?REM", "Remote mode; settable.", "REM=", boolean=True)
    analog_mode = _Query[bool]("?ANA", "Analog mode state.", boolean=True)
    analog_mode_command = _Query[bool]("?ANACMD", "Analog mode command; settable.", "ANACMD=",
                                       boolean=True)
    control_mode = _Query[int]("?CMODE", "Control mode state, 0 or 1.")
    control_mode_command = _Query[int]("?CMODECMD", "Control mode command, 0 or 1; settable "
                                       "only while the key switch is off.", "CMODECMD=")
    head_hours = _Query[float]("?HH", "Head operating hours.")
    electronics_hours = _Query[float]("?EEH", "Electronics operating hours.")
    head_id = _Query[str]("?HID", "The head's identifier.")
    board_revision = _Query[str]("?HBDREV", "The head board's revision.")
    model = _Query[str]("?LASERMODEL", "The laser model.")
    wavelength = _Query[float]("?WAVELENGTH", "Wavelength, nm.")

    @property
    def fault_word(self) -> FaultWord:
        """The fault word, decoded into the named flags of the head's family."""
        return FaultWord.decode(self.query(FAULT_WORD_QUERY), self.head_type)  # type: ignore

    @property
    def temperatures(self) -> dict[str, float]:
        """Measured temperature of every loop the head has (``main``, ``brf``, ...), degrees
        Celsius."""
        features = family_of(self.head_type).features
        result = {}
        for loop, measured, _, _, needs in LOOPS:
            if features & needs != needs:
                continue
            try:
                result[loop] = self.query(measured)
            except InvalidCommand:
                continue
        return result  # type: ignore[return-value]

    def _panel_reading(self, command: str, kind: Kind, needs: int, family: Family,
                       unit: str | None) -> Reading:
        if family.features & needs != needs:
            return Reading(command, False)
        try:
            reply = self.send(command)
        except InvalidCommand:
            return Reading(command, False)
        except SupplyClosedError:
            raise
        except MavoZARPError as failure:
            return Reading(command, True, failure.code, failure.reply, error=failure)
        try:
            value: Value | None = _parse(command, reply, kind)
        except ReplyFormatError:
            value = None
        if family.stages_by_board_revision and needs & STAGES and value == _LACKED_BY_BOARD:
            return Reading(command, False, 0, reply)
        if isinstance(value, float) and not math.isfinite(value):
            value = None
        return Reading(command, True, 0, reply, value, unit)

    def status(self) -> Status:
        """Every reading of the head's family, as ``mavozarp status`` shows it. A reading the
        head does not have is marked unsupported; one that fails keeps its error."""
        try:
            head_type = self.send("?HTYPE")
        except SupplyClosedError:
            raise
        except MavoZARPError:
            head_type = self.head_type
        family = family_of(head_type)
        readings: dict[str, Reading] = {}
        for entry in PANEL:
            readings[entry.key] = self._panel_reading(entry.command, entry.kind, entry.needs,
                                                      family, entry.unit)
        unit_reading = readings["power_unit"]
        power_unit = unit_reading.reply if unit_reading.status == 0 and unit_reading.reply else None
        for entry in PANEL:
            if entry.in_power_unit and readings[entry.key].status == 0:
                readings[entry.key] = _with_unit(readings[entry.key], power_unit)
        word = readings["fault_word"]
        faults = FaultWord.decode(word.value, head_type) \
            if isinstance(word.value, int) and word.status == 0 else None
        return Status(head_type, family.name, readings, faults)

    def watch(self, commands: Iterable[str], interval: float,
              count: int | None = None) -> Iterator[Sample]:
        """Samples of the commands' typed values every ``interval`` seconds (``count`` samples,
        or until the loop stops), on a fixed grid from the first. A failed reading appears as
        its error in :attr:`Sample.values` and watching goes on, so a log picks up again when
        the supply answers again; a closed supply ends the watch with its error."""
        commands = [commands] if isinstance(commands, str) else list(commands)
        for command in commands:
            _checked_command(command)
        if isinstance(interval, bool) or not isinstance(interval, numbers.Real):
            raise TypeError(f"interval takes a number of seconds, not {type(interval).__name__}")
        if not interval > 0 or not math.isfinite(interval):
            raise ValueError(f"interval {interval}: must be a positive number of seconds")
        if count is not None and (isinstance(count, bool) or not isinstance(count, int)):
            raise TypeError(f"count takes an int or None, not {type(count).__name__}")
        return self._samples(commands, float(interval), count)

    def _samples(self, commands: list[str], interval: float,
                 count: int | None) -> Iterator[Sample]:
        start = time.monotonic()
        taken = 0
        slot = 0  # the grid point of the next sample
        while count is None or taken < count:
            due = start + slot * interval
            now = time.monotonic()
            if due > now:
                time.sleep(due - now)
            moment = datetime.now(timezone.utc)
            values: dict[str, Value | MavoZARPError] = {}
            for command in commands:
                try:
                    values[command] = self.query(command)
                except SupplyClosedError:
                    raise
                except MavoZARPError as failure:
                    values[command] = failure
            yield Sample(moment, time.monotonic() - start, values)
            taken += 1
            # Keep to the grid: a sample that ran late skips the grid points it missed.
            slot = max(slot + 1, math.ceil((time.monotonic() - start) / interval))


def _with_unit(reading: Reading, unit: str | None) -> Reading:
    return Reading(reading.command, reading.supported, reading.status, reading.reply,
                   reading.value, unit)

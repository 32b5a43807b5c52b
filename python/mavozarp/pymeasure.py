"""A PyMeasure instrument for a supply reached over VISA, with no MavoZARP library on the machine:

- the instrument socket of ``mavozarp serve`` (``TCPIP::HOST::PORT::SOCKET``), one per device;
- the serial port of a supply that takes the text commands itself (``ASRL/dev/ttyUSB0::INSTR``,
  ``ASRL3::INSTR``), at its 115200 baud.

>>> from mavozarp.pymeasure import Supply
>>> supply = Supply("TCPIP::127.0.0.1::5025::SOCKET", token=open("token").read().strip())
>>> supply.power_command = 1.5
>>> supply.power, supply.faults.names

Every command is answered by one line. A refusal is raised: the library's statuses as the
:class:`~mavozarp.MavoZARPError` subclass of their code (``ERR -3 ...``: :class:`InvalidCommand`;
a text supply's bare ``ERR`` too, as the library takes it), the service's own (401 token, 403
read-only, 409 gone, 503 busy, ...) as :class:`ServiceRefusal`. PyMeasure's ``write`` takes the
answer of a setting and raises a refusal; ``ask`` gives the reply of a query.

Needs PyMeasure (Debian: python3-pymeasure) and PyVISA with a backend (python3-pyvisa-py:
``visa_library="@py"``).
"""

from __future__ import annotations

import math
import numbers
import re

from pymeasure.instruments import Instrument
from pymeasure.instruments.validators import strict_discrete_set

from ._supply import FaultWord
from .errors import InvalidCommand, MavoZARPError, ReplyFormatError, error_for

__all__ = ["ServiceRefusal", "Supply"]

_TEXT_SUPPLY_BAUD_RATE = 115200
_SERVICE_ERROR = re.compile(r"ERR (-?\d+) ([^:]*): ?(.*)", re.S)


class ServiceRefusal(MavoZARPError):
    """A refusal of ``mavozarp serve`` itself: 400 bad line, 401 token missing or wrong, 403
    read-only, 409 device gone, 503 busy. ``code`` and ``name`` are the service's; ``reply`` is
    the whole ``ERR`` line."""

    def __init__(self, code: int, name: str, message: str, command: str, reply: str):
        self.name, self.meaning = name, message
        super().__init__(code, command, reply)


def _refusal(command: str, reply: str) -> MavoZARPError | None:
    if not reply.startswith("ERR"):
        return None
    parsed = _SERVICE_ERROR.fullmatch(reply)
    if parsed is None:  # a text supply's own error answer
        return InvalidCommand(command=command, reply=reply)
    code, name, message = int(parsed[1]), parsed[2], parsed[3]
    if code < 0:
        return error_for(code, command, reply)
    return ServiceRefusal(code, name, message, command, reply)


def _number(value: object) -> str:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"takes a number, not {type(value).__name__}")
    if not math.isfinite(value):
        raise ValueError(f"{value} is not a finite number")
    return repr(float(value))


def _hexadecimal(reply: str) -> int:
    return int(reply, 16)


_STATE = {True: 1, False: 0}


def _reading(command: str, docs: str, cast=float):
    return Instrument.measurement(command, docs, cast=cast)


def _state(command: str, docs: str):
    return Instrument.measurement(command, docs, values=_STATE, map_values=True, cast=int)


def _setting(get_command: str, set_prefix: str, docs: str):
    return Instrument.control(get_command, set_prefix + "%s", docs, set_process=_number)


def _switch(get_command: str, set_prefix: str, docs: str):
    return Instrument.control(get_command, set_prefix + "%d", docs, validator=strict_discrete_set,
                              values=_STATE, map_values=True, cast=int)


class Supply(Instrument):
    """A supply over a VISA resource.

    Args:
        resource: ``TCPIP::HOST::PORT::SOCKET`` (an instrument socket of ``mavozarp serve``) or an
            ``ASRL`` resource (a text supply's serial port), or a PyMeasure adapter.
        token: sent as ``AUTH`` first, for settings on a service run with ``--allow-control``.
        name: the instrument's name in PyMeasure's logs.
        **kwargs: passed to PyMeasure's VISA adapter (``visa_library="@py"``, ``timeout`` in ms);
            the line terminations are set for the resource's kind unless given.
    """

    def __init__(self, resource, token: str | None = None, name: str = "MavoZARP supply",
                 **kwargs):
        serial = isinstance(resource, str) and resource.upper().startswith("ASRL")
        # A text supply reads a command up to CR and ends its answer in CR LF; the service's
        # sockets take and give lines ended in LF.
        kwargs.setdefault("write_termination", "\r" if serial else "\n")
        kwargs.setdefault("read_termination", "\r\n" if serial else "\n")
        kwargs.setdefault("timeout", 5000)  # the service answers busy after 2 s
        super().__init__(resource, name, includeSCPI=False, **kwargs)
        if serial:
            self.adapter.connection.baud_rate = _TEXT_SUPPLY_BAUD_RATE
        self._owed = 0  # replies still to come
        if token is not None:
            self._exchange("AUTH " + token, "AUTH")  # the token itself never reaches an error

    def ask(self, command: str) -> str:
        """Sends one command and gives its reply line; raises a refusal."""
        return self._exchange(command, command)

    def _exchange(self, command: str, shown: str) -> str:
        self.adapter.write(command)
        self._owed += 1
        # Every command is answered by one line, in order: a reply that did not come in time is
        # still owed, and is read and dropped before the next command's, never taken for it.
        while True:
            reply = self.adapter.read()
            self._owed -= 1
            if self._owed == 0:
                break
        reply = reply.rstrip("\r\n")
        refusal = _refusal(shown, reply)
        if refusal is not None:
            raise refusal
        return reply

    def write(self, command: str) -> None:
        """Sends a setting and takes its answer (``OK``); raises a refusal."""
        self.ask(command)

    def values(self, command: str, cast=float, **_) -> list:
        """The reply of a query as a one-element list of ``cast``; a reply that does not read
        so raises :class:`~mavozarp.ReplyFormatError` (never passes on as text)."""
        reply = self.ask(command)
        try:
            return [cast(reply)]
        except ValueError:
            raise ReplyFormatError(command, reply, f"read by {cast.__name__}") from None

    idn = _reading("*IDN?", "``MavoZARP,<head type>,<head id>,<library version>`` (the service "
                   "answers it).", str)
    head_type = _reading("?HTYPE", "The head type (``Kora``, ``Dummy``, ...).", str)
    head_id = _reading("?HID", "The head's identifier.", str)
    power_unit = _reading("?POWERUNITS", "The unit of the power readings and settings.", str)

    power = _reading("?P", "Output power, in the head's power unit.")
    power_command = _setting("?PCMD", "PCMD=", "Power command, in the head's power unit.")
    power_limit = _reading("?PLIM", "Power limit, in the head's power unit.")
    current = _reading("?C", "Current, A.")
    current_command = _setting("?CCMD", "CCMD=", "Current command, A.")
    current_limit = _reading("?CLIM", "Current limit, A.")

    main_temperature = _reading("?TMAIN", "Main temperature, degrees Celsius.")
    brf_temperature = _reading("?TBRF", "BRF temperature, degrees Celsius.")
    shg_temperature = _reading("?TSHG", "SHG temperature, degrees Celsius.")
    thg_temperature = _reading("?TTHG", "THG temperature, degrees Celsius (heads with a THG "
                               "stage).")
    eta_temperature = _reading("?TETA", "ETA temperature, degrees Celsius (heads with an ETA "
                               "stage).")

    fault_word = _reading("?FF", "The fault word; :attr:`faults` names its bits.", _hexadecimal)
    laser_on = _state("?L", "Whether the laser is on.")
    shutter_open = _switch("?SH", "SHCMD=", "Whether the shutter is open; set to open or close "
                           "it.")
    key_switch = _state("?KSW", "Key switch state (the key itself).")
    key_switch_command = _switch("?KSWCMD", "KSWCMD=", "Key switch command.")
    interlock = _state("?INT", "Interlock state (``True``: closed).")
    fan = _state("?FAN", "Fan state.")
    remote = _switch("?REM", "REM=", "Remote mode.")
    analog_mode = _state("?ANA", "Analog mode state.")
    control_mode = _reading("?CMODE", "Control mode state, 0 or 1.", int)

    @property
    def faults(self) -> FaultWord:
        """The fault word decoded into the named flags of the head's family."""
        return FaultWord.decode(self.fault_word, self.head_type)

"""The command language's reply formats, the status panel's readings and the head families.

All of it is data, kept in step with the command-line tool so that ``Supply.status()`` and
``mavozarp status --json`` tell the same.
"""

from __future__ import annotations

from dataclasses import dataclass
from enum import Enum


class Kind(Enum):
    """How a reply reads."""

    NUMBER = "a number"            # "%.3lf"
    STATE = "a state (0 or 1)"     # "%d"
    WORD = "a hexadecimal word"    # "%.4X", "%.4x", "%.2x"
    TEXT = "a text"                # "%s"
    NONE = "an empty reply"        # set commands


_NUMBER_QUERIES = (
    "?TMAIN ?TBRF ?TSHG ?TTHG ?TETA ?TMAINCMD ?TBRFCMD ?TSHGCMD ?TTHGCMD ?TETACMD "
    "?MAIND ?BRFD ?SHGD ?THGD ?ETAD ?P ?PCMD ?PMEM ?PLIM ?C ?CCMD ?CLIM ?HH ?EEH ?WAVELENGTH")
_STATE_QUERIES = "?L ?SH ?SHCMD ?KSW ?KSWCMD ?FAN ?INT ?CMODE ?CMODECMD ?ANA ?ANACMD ?REM"
_WORD_QUERIES = "?FF ?PSDIO ?PSGLUEIN ?PSGLUEOUT ?HEADDIO ?CFG0 ?CFG1 ?CFG2 ?CFG3 MATCH=1"
_TEXT_QUERIES = "?HID ?HBDREV ?HTYPE ?LASERMODEL ?POWERUNITS"

QUERY_KINDS: dict[str, Kind] = {
    command: kind
    for commands, kind in ((_NUMBER_QUERIES, Kind.NUMBER), (_STATE_QUERIES, Kind.STATE),
                           (_WORD_QUERIES, Kind.WORD), (_TEXT_QUERIES, Kind.TEXT))
    for command in commands.split()
}

SET_PREFIXES = ("PCMD=", "PMEM=", "CCMD=", "SHCMD=", "KSWCMD=", "CMODECMD=", "ANACMD=", "REM=")

# Hardware a head family may lack; readings that need it are not asked of heads without it.
BRF, SHG, THG, ETA, SHUTTER, REMOTE = (1 << bit for bit in range(6))
EVERY_FEATURE = (1 << 6) - 1


@dataclass(frozen=True)
class FaultFlag:
    """One named bit of a head family's fault word."""

    bit: int
    name: str      # short identifier for scripts: "interlock-open"
    meaning: str   # for a person


@dataclass(frozen=True)
class Family:
    name: str
    features: int
    fault_flags: tuple[FaultFlag, ...]
    #: The boards come in revisions, and a stage reading (BRF, SHG, THG or ETA temperature, set
    #: point or drive) that the board revision lacks is answered with exactly -1.
    stages_by_board_revision: bool = False


_SUPPLY_INPUT_4_LOW = FaultFlag(0x0008, "supply-input-4-low",
                                "supply digital input, port 0 bit 4, is low")
_HEAD_INPUT_LOW = FaultFlag(0x0010, "head-input-low",
                            "head digital input, port 0 bit 1 or bit 3, is low")
_INTERLOCK_OPEN = FaultFlag(0x0020, "interlock-open",
                            "interlock input (glue input, port 0 bit 0) is low")
_GLUE_INPUT_3_HIGH = FaultFlag(0x0100, "glue-input-3-high", "glue input, port 0 bit 3, is high")
_GLUE_INPUT_2_HIGH = FaultFlag(0x0200, "glue-input-2-high", "glue input, port 0 bit 2, is high")
_STAGE_FAULTS = tuple(FaultFlag(bit, f"{stage.lower()}-stage-fault",
                                f"the {stage} stage reports a fault")
                      for bit, stage in ((0x1000, "BRF"), (0x2000, "SHG"), (0x4000, "THG"),
                                         (0x8000, "ETA")))

_KORA_FAULTS = (_SUPPLY_INPUT_4_LOW, _INTERLOCK_OPEN, _GLUE_INPUT_3_HIGH, _GLUE_INPUT_2_HIGH)
STAGES = BRF | SHG | THG | ETA
_TWO_STAGES = BRF | SHG

_KORA = Family("Kora", STAGES | SHUTTER | REMOTE, _KORA_FAULTS, stages_by_board_revision=True)
_PICOX = Family("PicoX", _TWO_STAGES | SHUTTER | REMOTE,
                (_SUPPLY_INPUT_4_LOW, _HEAD_INPUT_LOW, _INTERLOCK_OPEN, _GLUE_INPUT_3_HIGH,
                 _GLUE_INPUT_2_HIGH))
# Pico00 has no supply or head digital I/O: its fault word comes from the glue inputs alone.
_PICO00 = Family("Pico00", _TWO_STAGES, (
    FaultFlag(0x0008, "glue-input-13-low", "glue input, port 1 bit 5, is low"),
    FaultFlag(0x0010, "glue-input-14-15-low", "glue input, port 1 bit 6 or bit 7, is low"),
    _INTERLOCK_OPEN, _GLUE_INPUT_2_HIGH))
_VFK = Family("Vfk", STAGES | SHUTTER | REMOTE, _KORA_FAULTS + _STAGE_FAULTS)
_VFN = Family("Vfn", STAGES, (
    FaultFlag(0x0008, "main-loop-fault", "the main temperature loop reports a fault"),
    _INTERLOCK_OPEN, _GLUE_INPUT_2_HIGH) + _STAGE_FAULTS)
# The simulated head answers a fixed fault word that carries no meaning.
_SIMULATED = Family("simulated", _TWO_STAGES | SHUTTER | REMOTE, ())
UNKNOWN_FAMILY = Family("unknown", EVERY_FEATURE, ())

# The beginnings of the head type texts, as the library tells the head models apart.
_TYPE_PREFIXES = (
    ("Kora", _KORA), ("PicoX", _PICOX), ("P-NIR", _PICOX), ("Pico00", _PICO00),
    ("P532", Family("P532", _KORA.features, _KORA_FAULTS, stages_by_board_revision=True)),
    ("VFN", _VFN), ("VFK", _VFK), ("VGN", _VFN), ("VGK", _VFK), ("Dummy", _SIMULATED),
)


def family_of(head_type: str) -> Family:
    """The family of a head, chosen by the beginning of its type text."""
    for prefix, family in _TYPE_PREFIXES:
        if head_type.startswith(prefix):
            return family
    return UNKNOWN_FAMILY


@dataclass(frozen=True)
class PanelEntry:
    key: str               # name in Status.readings and in `mavozarp status --json`
    command: str
    kind: Kind
    unit: str | None = None
    in_power_unit: bool = False
    needs: int = 0


POWER_UNIT_QUERY = "?POWERUNITS"
FAULT_WORD_QUERY = "?FF"
LOOPS = (("main", "?TMAIN", "?TMAINCMD", "?MAIND", 0), ("brf", "?TBRF", "?TBRFCMD", "?BRFD", BRF),
         ("shg", "?TSHG", "?TSHGCMD", "?SHGD", SHG), ("thg", "?TTHG", "?TTHGCMD", "?THGD", THG),
         ("eta", "?TETA", "?TETACMD", "?ETAD", ETA))

_N, _S, _T = Kind.NUMBER, Kind.STATE, Kind.TEXT
PANEL: tuple[PanelEntry, ...] = (
    PanelEntry("head_id", "?HID", _T),
    PanelEntry("board_revision", "?HBDREV", _T),
    PanelEntry("model", "?LASERMODEL", _T),
    PanelEntry("wavelength", "?WAVELENGTH", _N, "nm"),
    PanelEntry("power_unit", POWER_UNIT_QUERY, _T),
    PanelEntry("power", "?P", _N, in_power_unit=True),
    PanelEntry("power_command", "?PCMD", _N, in_power_unit=True),
    PanelEntry("power_limit", "?PLIM", _N, in_power_unit=True),
    PanelEntry("power_memory", "?PMEM", _N, in_power_unit=True),
    PanelEntry("current", "?C", _N, "A"),
    PanelEntry("current_command", "?CCMD", _N, "A"),
    PanelEntry("current_limit", "?CLIM", _N, "A"),
    PanelEntry("laser", "?L", _S),
    PanelEntry("shutter", "?SH", _S, needs=SHUTTER),
    PanelEntry("key_switch", "?KSW", _S),
    PanelEntry("interlock", "?INT", _S),
    PanelEntry("fan", "?FAN", _S),
    PanelEntry("remote", "?REM", _S, needs=REMOTE),
    PanelEntry("analog_mode", "?ANA", _S),
    PanelEntry("control_mode", "?CMODE", _S),
    PanelEntry("fault_word", FAULT_WORD_QUERY, Kind.WORD),
    PanelEntry("head_hours", "?HH", _N, "h"),
    PanelEntry("electronics_hours", "?EEH", _N, "h"),
) + tuple(
    PanelEntry(f"{loop}_{part}", command, _N, unit, needs=needs)
    for loop, measured, setpoint, drive, needs in LOOPS
    for part, command, unit in (("temperature", measured, "degC"), ("setpoint", setpoint, "degC"),
                                ("drive", drive, None))
)

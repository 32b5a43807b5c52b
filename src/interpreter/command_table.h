// The command language as data: each command's text, what it means, how it is matched, the head
// operation it calls and how the reply is written. The interpreter runs it; the command reference
// (docs/commands.md) is generated from it.
#pragma once

#include <variant>

#include "heads/common_laser.h"

namespace command_table {

enum class Kind {
    Query,                 // the whole text is the command
    SetReal,               // the text begins with the command, a number follows
    SetOnOff,              // the text begins with the command, "0" or "1" follows
    SetOnOffKeySwitchOff,  // as SetOnOff, refused while the key switch is on
};

enum class Reply {
    None,       // set commands answer with the empty text
    Fixed,      // "%.3lf"
    Word,       // "%.4X"
    Byte,       // "%.2x"
    MatchBits,  // "%.4x"
    Decimal,    // "%d"
    Text,       // "%s"
};

// Power crosses the language in the head's display unit; everything else unscaled.
enum class Scale { None, Power };

using RealQuery = double (CommonLaser::*)();
using IntegerQuery = int (CommonLaser::*)();
using WordQuery = uint16_t (CommonLaser::*)();
using ByteQuery = uint8_t (CommonLaser::*)();
using TextQuery = const char *(CommonLaser::*)();
using RealSetter = void (CommonLaser::*)(double);
using OnOffSetter = void (CommonLaser::*)(int);
using Operation =
    std::variant<RealQuery, IntegerQuery, WordQuery, ByteQuery, TextQuery, RealSetter, OnOffSetter>;

struct Command {
    const char *text;
    const char *meaning;  // for a person: the reference (docs/commands.md) and the shell's help
    Kind kind;
    Operation operation;
    Reply reply;
    const char *unit;  // of the argument and the reply; nullptr when there is none
    Scale scale = Scale::None;
};

inline constexpr const char *kCelsius = "degrees Celsius";
inline constexpr const char *kAmperes = "A";
inline constexpr const char *kHours = "h";
inline constexpr const char *kNanometres = "nm";
inline constexpr const char *kHeadPowerUnit = "the head's power unit (?POWERUNITS)";

using L = CommonLaser;

// Tried in this order; the first that matches runs.
inline constexpr Command kCommands[] = {
    {"?TMAIN", "main temperature", Kind::Query, &L::GetMainTemperature, Reply::Fixed, kCelsius},
    {"?TBRF", "BRF temperature", Kind::Query, &L::GetBrfTemperature, Reply::Fixed, kCelsius},
    {"?TSHG", "SHG temperature", Kind::Query, &L::GetShgTemperature, Reply::Fixed, kCelsius},
    {"?TTHG", "THG temperature", Kind::Query, &L::GetThgTemperature, Reply::Fixed, kCelsius},
    {"?TETA", "ETA temperature", Kind::Query, &L::GetEtaTemperature, Reply::Fixed, kCelsius},
    {"?TMAINCMD", "main temperature set point", Kind::Query, &L::GetMainTemperatureCommand,
     Reply::Fixed, kCelsius},
    {"?TBRFCMD", "BRF temperature set point", Kind::Query, &L::GetBrfTemperatureCommand,
     Reply::Fixed, kCelsius},
    {"?TSHGCMD", "SHG temperature set point", Kind::Query, &L::GetShgTemperatureCommand,
     Reply::Fixed, kCelsius},
    {"?TTHGCMD", "THG temperature set point", Kind::Query, &L::GetThgTemperatureCommand,
     Reply::Fixed, kCelsius},
    {"?TETACMD", "ETA temperature set point", Kind::Query, &L::GetEtaTemperatureCommand,
     Reply::Fixed, kCelsius},
    {"?MAIND", "main drive", Kind::Query, &L::GetMainDrive, Reply::Fixed, nullptr},
    {"?BRFD", "BRF drive", Kind::Query, &L::GetBrfDrive, Reply::Fixed, nullptr},
    {"?SHGD", "SHG drive", Kind::Query, &L::GetShgDrive, Reply::Fixed, nullptr},
    {"?THGD", "THG drive", Kind::Query, &L::GetThgDrive, Reply::Fixed, nullptr},
    {"?ETAD", "ETA drive", Kind::Query, &L::GetEtaDrive, Reply::Fixed, nullptr},
    {"?P", "power", Kind::Query, &L::GetPower, Reply::Fixed, kHeadPowerUnit, Scale::Power},
    {"?PCMD", "power command", Kind::Query, &L::GetPowerCommand, Reply::Fixed, kHeadPowerUnit,
     Scale::Power},
    {"PCMD=", "set the power command", Kind::SetReal, &L::SetPowerCommand, Reply::None,
     kHeadPowerUnit, Scale::Power},
    {"?PMEM", "stored power command", Kind::Query, &L::GetPowerMemory, Reply::Fixed, kHeadPowerUnit,
     Scale::Power},
    {"PMEM=", "set the stored power command", Kind::SetReal, &L::SetPowerMemory, Reply::None,
     kHeadPowerUnit, Scale::Power},
    {"?PLIM", "power limit", Kind::Query, &L::GetPowerLimit, Reply::Fixed, kHeadPowerUnit,
     Scale::Power},
    {"?C", "current", Kind::Query, &L::GetCurrent, Reply::Fixed, kAmperes},
    {"?CCMD", "current command", Kind::Query, &L::GetCurrentCommand, Reply::Fixed, kAmperes},
    {"CCMD=", "set the current command", Kind::SetReal, &L::SetCurrentCommand, Reply::None,
     kAmperes},
    {"?CLIM", "current limit", Kind::Query, &L::GetCurrentLimit, Reply::Fixed, kAmperes},
    {"?FF", "fault word", Kind::Query, &L::GetFaultFlags, Reply::Word, nullptr},
    {"?HID", "head identifier", Kind::Query, &L::GetHeadId, Reply::Text, nullptr},
    {"?HBDREV", "head board revision", Kind::Query, &L::GetHeadBoardRevision, Reply::Text, nullptr},
    {"?HTYPE", "head type", Kind::Query, &L::GetHeadType, Reply::Text, nullptr},
    {"?L", "laser state", Kind::Query, &L::GetLaserState, Reply::Decimal, nullptr},
    {"?SH", "shutter state", Kind::Query, &L::GetShutterState, Reply::Decimal, nullptr},
    {"?SHCMD", "shutter command", Kind::Query, &L::GetShutterCommand, Reply::Decimal, nullptr},
    {"SHCMD=", "open (1) or close (0) the shutter", Kind::SetOnOff, &L::SetShutterCommand,
     Reply::None, nullptr},
    {"?KSW", "key switch state", Kind::Query, &L::GetKeySwitchState, Reply::Decimal, nullptr},
    {"?KSWCMD", "key switch command", Kind::Query, &L::GetKeySwitchCommand, Reply::Decimal,
     nullptr},
    {"KSWCMD=", "set the key switch command", Kind::SetOnOff, &L::SetKeySwitchCommand, Reply::None,
     nullptr},
    {"?FAN", "fan state", Kind::Query, &L::GetFanState, Reply::Decimal, nullptr},
    {"?INT", "interlock state", Kind::Query, &L::GetInterlockState, Reply::Decimal, nullptr},
    {"?HH", "head hours", Kind::Query, &L::GetHeadHours, Reply::Fixed, kHours},
    {"?EEH", "electronics hours", Kind::Query, &L::GetElectronicsHours, Reply::Fixed, kHours},
    {"?CMODE", "control mode state", Kind::Query, &L::GetControlModeState, Reply::Decimal, nullptr},
    {"?CMODECMD", "control mode command", Kind::Query, &L::GetControlModeCommand, Reply::Decimal,
     nullptr},
    {"CMODECMD=", "set the control mode command (only with the key switch off)",
     Kind::SetOnOffKeySwitchOff, &L::SetControlModeCommand, Reply::None, nullptr},
    {"?ANA", "analog mode state", Kind::Query, &L::GetAnalogModeState, Reply::Decimal, nullptr},
    {"?ANACMD", "analog mode command", Kind::Query, &L::GetAnalogModeCommand, Reply::Decimal,
     nullptr},
    {"ANACMD=", "set the analog mode command", Kind::SetOnOff, &L::SetAnalogModeCommand,
     Reply::None, nullptr},
    {"?PSDIO", "supply digital I/O, port 1 in the high byte", Kind::Query, &L::GetSupplyDigitalIo,
     Reply::Word, nullptr},
    {"?PSGLUEIN", "supply glue inputs, port 1 in the high byte", Kind::Query,
     &L::GetSupplyGlueInputs, Reply::Word, nullptr},
    {"?PSGLUEOUT", "supply glue outputs, port 1 in the high byte", Kind::Query,
     &L::GetSupplyGlueOutputs, Reply::Word, nullptr},
    {"?HEADDIO", "head digital I/O, port 1 in the high byte", Kind::Query, &L::GetHeadDigitalIo,
     Reply::Word, nullptr},
    {"?REM", "remote mode command", Kind::Query, &L::GetRemoteCommand, Reply::Decimal, nullptr},
    {"REM=", "set the remote mode", Kind::SetOnOff, &L::SetRemoteCommand, Reply::None, nullptr},
    {"?CFG0", "configuration byte 0", Kind::Query, &L::GetConfigByte0, Reply::Byte, nullptr},
    {"?CFG1", "configuration byte 1", Kind::Query, &L::GetConfigByte1, Reply::Byte, nullptr},
    {"?CFG2", "configuration byte 2", Kind::Query, &L::GetConfigByte2, Reply::Byte, nullptr},
    {"?CFG3", "configuration byte 3", Kind::Query, &L::GetConfigByte3, Reply::Byte, nullptr},
    {"MATCH=1",
     "program the head's stored match values (current limit, power limit, power command, main "
     "temperature set point) into the supply",
     Kind::Query, &L::MatchHeadSettings, Reply::MatchBits, nullptr},
    {"?WAVELENGTH", "wavelength", Kind::Query, &L::GetWavelength, Reply::Fixed, kNanometres},
    {"?LASERMODEL", "laser model", Kind::Query, &L::GetLaserModel, Reply::Text, nullptr},
    {"?POWERUNITS", "unit of the power readings and settings", Kind::Query, &L::GetPowerUnits,
     Reply::Text, nullptr},
};

}  // namespace command_table

#include "interpreter/interpreter.h"

#include <algorithm>
#include <concepts>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "base/failure_message.h"
#include "heads/common_laser.h"
#include "interpreter/arguments.h"
#include "interpreter/numbers.h"

namespace {

// The case-folded copy of a command. A command that does not end within it matches nothing.
constexpr size_t kWorkingCopySize = 100;

// The host's 100 bytes must hold the reply, CR LF and the terminator.
constexpr size_t kLongestReply = 97;
constexpr const char *kReplyTooLong = "Reply too long for the host's buffer";

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
    Kind kind;
    Operation operation;
    Reply reply;
    Scale scale = Scale::None;
};

using L = CommonLaser;

// Tried in this order; the first that matches runs.
constexpr Command kCommands[] = {
    {"?TMAIN", Kind::Query, &L::GetMainTemperature, Reply::Fixed},
    {"?TBRF", Kind::Query, &L::GetBrfTemperature, Reply::Fixed},
    {"?TSHG", Kind::Query, &L::GetShgTemperature, Reply::Fixed},
    {"?TTHG", Kind::Query, &L::GetThgTemperature, Reply::Fixed},
    {"?TETA", Kind::Query, &L::GetEtaTemperature, Reply::Fixed},
    {"?TMAINCMD", Kind::Query, &L::GetMainTemperatureCommand, Reply::Fixed},
    {"?TBRFCMD", Kind::Query, &L::GetBrfTemperatureCommand, Reply::Fixed},
    {"?TSHGCMD", Kind::Query, &L::GetShgTemperatureCommand, Reply::Fixed},
    {"?TTHGCMD", Kind::Query, &L::GetThgTemperatureCommand, Reply::Fixed},
    {"?TETACMD", Kind::Query, &L::GetEtaTemperatureCommand, Reply::Fixed},
    {"?MAIND", Kind::Query, &L::GetMainDrive, Reply::Fixed},
    {"?BRFD", Kind::Query, &L::GetBrfDrive, Reply::Fixed},
    {"?SHGD", Kind::Query, &L::GetShgDrive, Reply::Fixed},
    {"?THGD", Kind::Query, &L::GetThgDrive, Reply::Fixed},
    {"?ETAD", Kind::Query, &L::GetEtaDrive, Reply::Fixed},
    {"?P", Kind::Query, &L::GetPower, Reply::Fixed, Scale::Power},
    {"?PCMD", Kind::Query, &L::GetPowerCommand, Reply::Fixed, Scale::Power},
    {"PCMD=", Kind::SetReal, &L::SetPowerCommand, Reply::None, Scale::Power},
    {"?PMEM", Kind::Query, &L::GetPowerMemory, Reply::Fixed, Scale::Power},
    {"PMEM=", Kind::SetReal, &L::SetPowerMemory, Reply::None, Scale::Power},
    {"?PLIM", Kind::Query, &L::GetPowerLimit, Reply::Fixed, Scale::Power},
    {"?C", Kind::Query, &L::GetCurrent, Reply::Fixed},
    {"?CCMD", Kind::Query, &L::GetCurrentCommand, Reply::Fixed},
    {"CCMD=", Kind::SetReal, &L::SetCurrentCommand, Reply::None},
    {"?CLIM", Kind::Query, &L::GetCurrentLimit, Reply::Fixed},
    {"?FF", Kind::Query, &L::GetFaultFlags, Reply::Word},
    {"?HID", Kind::Query, &L::GetHeadId, Reply::Text},
    {"?HBDREV", Kind::Query, &L::GetHeadBoardRevision, Reply::Text},
    {"?HTYPE", Kind::Query, &L::GetHeadType, Reply::Text},
    {"?L", Kind::Query, &L::GetLaserState, Reply::Decimal},
    {"?SH", Kind::Query, &L::GetShutterState, Reply::Decimal},
    {"?SHCMD", Kind::Query, &L::GetShutterCommand, Reply::Decimal},
    {"SHCMD=", Kind::SetOnOff, &L::SetShutterCommand, Reply::None},
    {"?KSW", Kind::Query, &L::GetKeySwitchState, Reply::Decimal},
    {"?KSWCMD", Kind::Query, &L::GetKeySwitchCommand, Reply::Decimal},
    {"KSWCMD=", Kind::SetOnOff, &L::SetKeySwitchCommand, Reply::None},
    {"?FAN", Kind::Query, &L::GetFanState, Reply::Decimal},
    {"?INT", Kind::Query, &L::GetInterlockState, Reply::Decimal},
    {"?HH", Kind::Query, &L::GetHeadHours, Reply::Fixed},
    {"?EEH", Kind::Query, &L::GetElectronicsHours, Reply::Fixed},
    {"?CMODE", Kind::Query, &L::GetControlModeState, Reply::Decimal},
    {"?CMODECMD", Kind::Query, &L::GetControlModeCommand, Reply::Decimal},
    {"CMODECMD=", Kind::SetOnOffKeySwitchOff, &L::SetControlModeCommand, Reply::None},
    {"?ANA", Kind::Query, &L::GetAnalogModeState, Reply::Decimal},
    {"?ANACMD", Kind::Query, &L::GetAnalogModeCommand, Reply::Decimal},
    {"ANACMD=", Kind::SetOnOff, &L::SetAnalogModeCommand, Reply::None},
    {"?PSDIO", Kind::Query, &L::GetSupplyDigitalIo, Reply::Word},
    {"?PSGLUEIN", Kind::Query, &L::GetSupplyGlueInputs, Reply::Word},
    {"?PSGLUEOUT", Kind::Query, &L::GetSupplyGlueOutputs, Reply::Word},
    {"?HEADDIO", Kind::Query, &L::GetHeadDigitalIo, Reply::Word},
    {"?REM", Kind::Query, &L::GetRemoteCommand, Reply::Decimal},
    {"REM=", Kind::SetOnOff, &L::SetRemoteCommand, Reply::None},
    {"?CFG0", Kind::Query, &L::GetConfigByte0, Reply::Byte},
    {"?CFG1", Kind::Query, &L::GetConfigByte1, Reply::Byte},
    {"?CFG2", Kind::Query, &L::GetConfigByte2, Reply::Byte},
    {"?CFG3", Kind::Query, &L::GetConfigByte3, Reply::Byte},
    {"MATCH=1", Kind::Query, &L::MatchHeadSettings, Reply::MatchBits},
    {"?WAVELENGTH", Kind::Query, &L::GetWavelength, Reply::Fixed},
    {"?LASERMODEL", Kind::Query, &L::GetLaserModel, Reply::Text},
    {"?POWERUNITS", Kind::Query, &L::GetPowerUnits, Reply::Text},
};

// Each entry's kind, operation and reply belong together; a slip in the table fails the build.
constexpr bool IsConsistent(const Command &command) {
    const bool set = command.kind != Kind::Query;
    const std::string_view text = command.text;
    if (set != text.ends_with('=')) return false;
    switch (command.reply) {
        case Reply::None:
            return command.kind == Kind::SetReal
                       ? std::holds_alternative<RealSetter>(command.operation)
                       : set && std::holds_alternative<OnOffSetter>(command.operation);
        case Reply::Fixed:
            return std::holds_alternative<RealQuery>(command.operation);
        case Reply::Word:
            return std::holds_alternative<WordQuery>(command.operation) ||
                   std::holds_alternative<IntegerQuery>(command.operation);
        case Reply::Byte:
            return std::holds_alternative<ByteQuery>(command.operation);
        case Reply::MatchBits:
        case Reply::Decimal:
            return std::holds_alternative<IntegerQuery>(command.operation);
        case Reply::Text:
            return std::holds_alternative<TextQuery>(command.operation);
    }
    return false;
}
static_assert(std::ranges::all_of(kCommands, IsConsistent));
static_assert(std::size(kCommands) == 60);

bool Matches(const Command &command, const char *workingCopy) {
    if (command.kind == Kind::Query) return std::strcmp(workingCopy, command.text) == 0;
    return std::strncmp(workingCopy, command.text, std::strlen(command.text)) == 0;
}

// Integer results: 8- and 16-bit words widened without sign, the fault word's bits unchanged.
std::string FormatInteger(Reply reply, int value) {
    char text[16];
    const unsigned bits = static_cast<unsigned>(value);
    switch (reply) {
        case Reply::Word:
            std::snprintf(text, sizeof text, "%.4X", bits);
            break;
        case Reply::Byte:
            std::snprintf(text, sizeof text, "%.2x", bits);
            break;
        case Reply::MatchBits:
            std::snprintf(text, sizeof text, "%.4x", bits);
            break;
        default:  // Reply::Decimal
            std::snprintf(text, sizeof text, "%d", value);
            break;
    }
    return text;
}

std::string FormatResult(const CommonLaser &head, const Command &command, double value) {
    return FormatFixed3(command.scale == Scale::Power ? value * head.powerDisplayFactor : value);
}
template <std::integral Integer>
std::string FormatResult(const CommonLaser &, const Command &command, Integer value) {
    return FormatInteger(command.reply, value);
}
std::string FormatResult(const CommonLaser &, const Command &, const char *value) {
    return value;
}

// Parses the argument, calls the operation and gives the reply text.
std::string Execute(CommonLaser &head, const Command &command, const char *workingCopy) {
    return std::visit(
        [&](auto operation) -> std::string {
            using Op = decltype(operation);
            if constexpr (std::is_same_v<Op, RealSetter>) {
                const double value = ParseRealArgument(workingCopy);
                (head.*operation)(command.scale == Scale::Power ? value / head.powerDisplayFactor
                                                                : value);
                return {};
            } else if constexpr (std::is_same_v<Op, OnOffSetter>) {
                const int on = ParseOnOffArgument(workingCopy);
                if (command.kind == Kind::SetOnOffKeySwitchOff && head.GetKeySwitchState() != 0) {
                    RaiseFailure(kInvalidData);
                }
                (head.*operation)(on);
                return {};
            } else {
                return FormatResult(head, command, (head.*operation)());
            }
        },
        command.operation);
}

}  // namespace

int32_t InterpretCommand(CommonLaser *head, const char *command, char *result) {
    result[0] = '\0';
    if (head == nullptr) RaiseFailure(kInvalidHead);

    // Only a to z are folded; blanks and line ends stay and make a command unknown.
    char workingCopy[kWorkingCopySize];
    size_t length = 0;
    for (; length < kWorkingCopySize; ++length) {
        const char c = command[length];
        workingCopy[length] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        if (c == '\0') break;
    }
    if (length == kWorkingCopySize) RaiseFailure(kInvalidCommand);

    const Command *found = std::ranges::find_if(
        kCommands, [&](const Command &entry) { return Matches(entry, workingCopy); });
    if (found == std::end(kCommands)) RaiseFailure(kInvalidCommand);

    const std::string reply = Execute(*head, *found, workingCopy);
    if (reply.size() > kLongestReply) RaiseFailure(kReplyTooLong);
    std::memcpy(result, reply.c_str(), reply.size() + 1);
    return 0;
}

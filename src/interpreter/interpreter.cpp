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
#include "interpreter/command_table.h"
#include "interpreter/numbers.h"

namespace {

using namespace command_table;

// The case-folded copy of a command. A command that does not end within it matches nothing.
constexpr size_t kWorkingCopySize = 100;

// The host's 100 bytes must hold the reply, CR LF and the terminator.
constexpr size_t kLongestReply = 97;
constexpr const char *kReplyTooLong = "Reply too long for the host's buffer";

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

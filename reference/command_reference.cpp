// Writes the reference of the command language (docs/commands.md) from the interpreter's command
// table. Which head models answer a command is not written down anywhere: it is found by asking
// each model, built on no bus, and noting which refuse with "Invalid command".
#include <cctype>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "MavoZARP.h"
#include "base/failure_message.h"
#include "client/status_codes.h"
#include "heads/dummy_laser.h"
#include "heads/head_models.h"
#include "interpreter/command_table.h"
#include "interpreter/interpreter.h"
#include "write_page.h"

namespace {

using namespace command_table;

struct HeadModel {
    const char *name;
    std::function<std::unique_ptr<CommonLaser>()> create;
};

std::vector<HeadModel> HeadModels() {
    const auto on = [](auto create) { return [create] { return create(NullTransport{}); }; };
    return {
        {"Kora", on(CreateKora)},
        {"P532", on(CreateP532)},
        {"PicoX", on(CreatePicoX)},
        {"Pico00", on(CreatePico00)},
        {"Vfk", on(CreateVfk)},
        {"Vfn", on(CreateVfn)},
        {"simulated", [] { return std::make_unique<DummyLaser>(); }},
    };
}

// The command as a host would send it: set commands with a value every head accepts.
std::string Sample(const Command &command) {
    return command.kind == Kind::Query ? command.text : std::string(command.text) + "0";
}

bool Answers(CommonLaser &head, const Command &command) {
    char reply[100];
    try {
        InterpretCommand(&head, Sample(command).c_str(), reply);
    } catch (const FailureMessage &failure) {
        return std::string(failure.text) != kInvalidCommand;
    }
    return true;
}

// The head models that answer each command, in the order of the table.
std::vector<std::vector<std::string>> ModelsAnswering() {
    std::vector<std::vector<std::string>> answering(std::size(kCommands));
    for (const HeadModel &model : HeadModels()) {
        const std::unique_ptr<CommonLaser> head = model.create();
        for (size_t i = 0; i < std::size(kCommands); ++i) {
            if (Answers(*head, kCommands[i])) answering[i].push_back(model.name);
        }
    }
    return answering;
}

std::string Joined(const std::vector<std::string> &words) {
    std::string text;
    for (const std::string &word : words) text += (text.empty() ? "" : ", ") + word;
    return text;
}

std::string Heads(const std::vector<std::string> &answering) {
    return answering.size() == HeadModels().size() ? "every head" : Joined(answering);
}

std::string Argument(const Command &command) {
    const std::string unit = command.unit != nullptr ? std::string(", in ") + command.unit : "";
    switch (command.kind) {
        case Kind::Query:
            return "none";
        case Kind::SetReal:
            return "a number" + unit;
        case Kind::SetOnOff:
            return "0 or 1";
        case Kind::SetOnOffKeySwitchOff:
            return "0 or 1, taken only while the key switch is off (?KSW answers 0)";
    }
    return {};
}

std::string ReplyForm(const Command &command) {
    const std::string unit = command.unit != nullptr ? std::string(", in ") + command.unit : "";
    switch (command.reply) {
        case Reply::None:
            return "empty (the tool shows (ok))";
        case Reply::Fixed:
            return "a number with three decimals" + unit + ", e.g. 25.002";
        case Reply::Word:
            return "four hexadecimal digits, upper case, e.g. 00A8";
        case Reply::Byte:
            return "two hexadecimal digits, lower case, e.g. 5a";
        case Reply::MatchBits:
            return "four hexadecimal digits: 0000 when all four were programmed, else the OR of "
                   "1 (current limit), 2 (power limit), 4 (power command) and 8 (main temperature "
                   "set point) for those that were not";
        case Reply::Decimal:
            return "a whole number (a state: 0 or 1)";
        case Reply::Text:
            return "text";
    }
    return {};
}

std::string Refusals(const Command &command, const std::vector<std::string> &answering) {
    std::string refusals;
    if (answering.size() != HeadModels().size()) {
        refusals = "-3 on the other heads; ";
    }
    switch (command.kind) {
        case Kind::Query:
            break;
        case Kind::SetReal:
            refusals += "-4 when the value is no finite number or out of the head's range; ";
            break;
        case Kind::SetOnOff:
            refusals += "-4 when the value is not exactly 0 or 1; ";
            break;
        case Kind::SetOnOffKeySwitchOff:
            refusals += "-4 when the value is not exactly 0 or 1, or the key switch is on; ";
            break;
    }
    return refusals + "the codes of the device (see Status codes)";
}

// What a setting does beyond its own reading, told in its entry; the section "What a setting does
// on each head" says why.
struct SettingEffect {
    const char *command;
    const char *effect;
};

constexpr SettingEffect kSettingEffects[] = {
    {"PCMD=",
     "on a supply's head it sets the current command (?CCMD) too, since one converter drives "
     "both, and reads back up to one step (1/1024 of full scale) less; the simulated head keeps "
     "the value as given (see What a setting does on each head)"},
    {"CCMD=",
     "on a supply's head it sets the power command (?PCMD) too, since one converter drives "
     "both, and reads back up to one step (1/1024 of full scale) less; the simulated head keeps "
     "the value as given (see What a setting does on each head)"},
    {"PMEM=",
     "kept in the converter's memory, apart from the power command; reads back up to one step "
     "(1/1024 of full scale) less (see What a setting does on each head)"},
};

const char *SettingEffectOf(const Command &command) {
    for (const SettingEffect &entry : kSettingEffects) {
        if (std::string_view(entry.command) == command.text) return entry.effect;
    }
    return nullptr;
}

std::string StatusRow(int32_t code) {
    const StatusDescription status = DescribeStatus(code);
    return "| " + std::to_string(code) + " | " + status.name + " | " + status.meaning + " |\n";
}

void WriteReference(std::ostream &out) {
    const std::vector<std::vector<std::string>> answering = ModelsAnswering();
    out << R"(# The command language

<!-- Written by the build (target command_reference) from the interpreter's command table,
     src/interpreter/command_table.h; a test checks that this copy is current. Not to be edited:
     change the table, build, and copy build/linux/commands.md here. -->

A host sends one command per call of `MavoZARP_SendCommand`; `mavozarp send`, `watch` and `shell`
and the service's instrument sockets send what they are given. Letters a to z are taken in either
case; blanks and line ends are part of the command, so a command with a blank in it is unknown.
Queries begin with `?` and are the whole text. Set commands end in `=` and a value follows: a
number (blanks before it allowed, anything after it ignored) or exactly `0` or `1`. `MATCH=1` is
one whole command. Commands are tried in the order of this list and the first that matches runs.

A command that succeeds gives status 0 and its reply; a set command gives the empty reply. The
library ends every reply with CR LF. Power crosses the language in the head's own unit, which
`?POWERUNITS` names: `PCMD=1.5` asks for 1.5 of that unit.

Which heads answer a command is found by asking each of the library's head models; a head refuses
the others with -3. Some heads answer a reading their board revision lacks with -1.000 (Kora and
P532 boards, for the BRF, SHG, THG and ETA stages): `mavozarp status` shows it as `n/a`, its JSON
and the service's as `"supported": false` with that reply, and the metrics leave it out.

`mavozarp help COMMAND` prints the entry of one command, as it stands here.

## Status codes

| Code | Name | Meaning |
|---|---|---|
)";
    for (const int32_t code :
         {MAVOZARP_STATUS_UNKNOWN_HANDLE, MAVOZARP_STATUS_INVALID_HEAD,
          MAVOZARP_STATUS_INVALID_COMMAND, MAVOZARP_STATUS_INVALID_DATA, MAVOZARP_STATUS_I2C_ERROR,
          MAVOZARP_STATUS_ADAPTER_NOT_LOADED, MAVOZARP_STATUS_ADAPTER_INCOMPLETE,
          MAVOZARP_STATUS_ADAPTER_EXCEPTION, MAVOZARP_STATUS_SERIAL_ERROR,
          MAVOZARP_STATUS_LOCK_FAILED, MAVOZARP_STATUS_OTHER_ERROR}) {
        out << StatusRow(code);
    }
    out << "\n-3 and -4 concern the command itself; the others concern reaching the device, and "
           "any command may give them.\n";
    out << R"(
## What a setting does on each head

A setting does not always read back as it was given, and on the head of a supply one setting
moves another:

- **One converter for power and current.** On every head of a supply (Kora, P532, PicoX, Pico00,
  Vfk, Vfn) the power command and the current command are one output of the supply's 10-bit
  converter, read in two units: `PCMD=` sets the current command too, and `CCMD=` the power
  command. The current command then is the same share of the current's full scale as the power
  command is of the power's: on the head preset `kora-band3` of `mavozarp-sim` (full scales
  200 mW and 100 A), `PCMD=50` gives `?CCMD` 24.902 A. A program or a page that sets the power
  sets the current with it, and the other way round.
- **Steps of the converter.** The converter has 1024 steps across the full scale, and a value
  is cut to a whole step, so a command reads back up to one step less than it was set (a value
  on a step may read back one step less too, the arithmetic being done in binary fractions):
  `PCMD=50` on `kora-band3` (steps of 0.195 mW) reads back `49.805`. A value at or beyond the
  full scale, or below zero by a step or more, is refused with -4 and nothing is written.
- **The stored power command** (`PMEM=`, read with `?PMEM`) is the converter's memory, which
  the supply takes as its power command when it is switched on; it is kept apart from the
  power command and cut to a step in the same way. `MATCH=1` writes the head's stored power
  command into both.
- **The simulated head** (handle -1) has no converter: it keeps every command as given
  (`PCMD=50` reads back `50.000`), and its power and current commands are independent.
- **A text supply** takes the text commands itself: what it keeps and reads back is the
  supply's own; the library passes the command on.
)";
    out << "\n## Commands\n\n| Command | Meaning | Heads |\n|---|---|---|\n";
    for (size_t i = 0; i < std::size(kCommands); ++i) {
        out << "| `" << kCommands[i].text << "` | " << kCommands[i].meaning << " | "
            << Heads(answering[i]) << " |\n";
    }
    for (size_t i = 0; i < std::size(kCommands); ++i) {
        const Command &command = kCommands[i];
        std::string meaning = command.meaning;
        meaning[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(meaning[0])));
        out << "\n### " << command.text << "\n\n"
            << meaning << ".\n\n"
            << "- Argument: " << Argument(command) << "\n"
            << "- Reply: " << ReplyForm(command) << "\n"
            << "- Heads: " << Heads(answering[i]) << "\n"
            << "- Refused: " << Refusals(command, answering[i]) << "\n";
        if (const char *effect = SettingEffectOf(command)) out << "- On each head: " << effect << "\n";
    }
}

}  // namespace

// command_reference [FILE]: writes the reference to FILE, or to standard output.
int main(int argc, char **argv) {
    std::ostringstream text;
    WriteReference(text);
    return WritePage(argc, argv, text.str());
}

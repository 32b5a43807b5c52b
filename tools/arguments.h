// The command line of the tool: the subcommands with their options, the device selector they
// share, and the arguments a subcommand runs with. The reading itself is CLI11's.
#pragma once

#include "client/device_selector.h"

#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A mistake in the command line: the tool names it in one line with a hint to --help and exits
// with 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct OptionDefinition {
    std::string_view name;  // "--interval"
    const char *valueName;  // "S", or nullptr for a flag
    const char *help;
    bool repeatable = false;  // every occurrence kept, in order (ParsedArguments::Values)
    // Left out of the help: read all the same, so that it can be refused with its reason.
    bool hidden = false;
};

struct ParsedArguments {
    std::map<std::string, std::string, std::less<>> options;  // flags map to ""
    std::map<std::string, std::vector<std::string>, std::less<>> repeated;  // repeatable options
    std::vector<std::string> positionals;

    bool Has(std::string_view option) const { return options.contains(option); }
    const std::string &Value(std::string_view option) const;  // the option must be present
    std::vector<std::string> Values(std::string_view option) const;  // empty when not given
};

// A whole non-negative decimal number, or a usage error naming the option.
unsigned long ParseCount(std::string_view option, const std::string &text);
// A non-negative finite number of seconds, or a usage error naming the option.
double ParseSeconds(std::string_view option, const std::string &text);

inline constexpr OptionDefinition kSelectorOptions[] = {
    {"--port", "PATH", "a supply on a serial port (UART-to-I2C bridge or text supply)"},
    {"--adapter", "N",
     "the Nth supply on the USB-to-I2C adapters, as `mavozarp scan` numbers them"},
    {"--simulated", nullptr, "the simulated head (handle -1), no hardware needed"},
};

// Exactly one selector must be given.
DeviceSelector SelectDevice(const ParsedArguments &arguments);

struct Subcommand {
    const char *name;
    const char *synopsis;     // after "mavozarp NAME"
    const char *summary;      // one line, in the list of subcommands
    const char *description;  // the body of the subcommand's help
    bool takesDevice;
    std::span<const OptionDefinition> options;  // besides the device selector and --help
    const char *operands;                 // "CMD" for a list of arguments; nullptr for none
    const char *operandsHelp;
    int (*run)(const ParsedArguments &);
};

struct ToolDescription {
    const char *summary;  // under the usage line of the general help
    const char *footer;   // at the end of the general help
    std::span<const Subcommand> subcommands;
    std::string (*version)();  // what --version shows
};

// What a command line asks for, in this order of precedence: a usage mistake to report (exit
// status 2), a text to show (help, version; exit status 0), or a subcommand to run.
struct Invocation {
    std::string mistake;
    const Subcommand *subcommand = nullptr;  // also with a mistake, when it concerns one
    std::string text;
    ParsedArguments arguments;
};

Invocation ReadCommandLine(int argc, const char *const *argv, const ToolDescription &tool);

// The help of the tool as a whole.
std::string GeneralHelp(const ToolDescription &tool);

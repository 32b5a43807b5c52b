// Command-line parsing shared by the subcommands, and the device selector.
#pragma once

#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A mistake in the command line: the tool prints it with a hint to --help and exits with 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A failure while running (no device, a refused command): printed, exit status 1.
struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct OptionSpec {
    std::string_view name;  // "--interval"
    const char *valueName;  // "S", or nullptr for a flag
    const char *help;
};

struct ParsedArguments {
    std::map<std::string, std::string, std::less<>> options;  // flags map to ""
    std::vector<std::string> positionals;

    bool Has(std::string_view option) const { return options.contains(option); }
    const std::string &Value(std::string_view option) const;  // the option must be present
};

// Options may come anywhere among the positional arguments: "--name value", "--name=value";
// "-h" is "--help"; "--" ends the options. Unknown or repeated options are usage errors.
ParsedArguments ParseArguments(std::span<const std::string> arguments,
                               std::span<const OptionSpec> options);

// A whole non-negative decimal number, or a usage error naming the option.
unsigned long ParseCount(std::string_view option, const std::string &text);
// A non-negative finite number of seconds, or a usage error naming the option.
double ParseSeconds(std::string_view option, const std::string &text);

// Handles live only inside one process, so every invocation names its device anew.
struct DeviceSelector {
    enum class Kind { Simulated, Port, Adapter };
    Kind kind = Kind::Simulated;
    std::string port;           // Port: the path or port name
    unsigned adapterIndex = 0;  // Adapter: position in the order scan lists the supplies

    std::string Describe() const;  // "--port /dev/ttyUSB0", as it was given
};

inline constexpr OptionSpec kSelectorOptions[] = {
    {"--port", "PATH", "a supply on a serial port (UART-to-I2C bridge or text supply)"},
    {"--adapter", "N",
     "the Nth supply on the USB-to-I2C adapters, as `mavozarp scan` numbers them"},
    {"--simulated", nullptr, "the simulated head (handle -1), no hardware needed"},
};

// Exactly one selector must be given.
DeviceSelector SelectDevice(const ParsedArguments &arguments);

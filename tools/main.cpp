// mavozarp: the command-line tool of the MavoZARP library.
#include "arguments.h"
#include "subcommands.h"

#include <MavoZARP.h>

#include <iostream>
#include <span>
#include <string>
#include <vector>

namespace {

constexpr OptionSpec kHelpOption{"--help", nullptr, "show this help and exit"};
constexpr OptionSpec kJsonOption{"--json", nullptr, "write one JSON document (see the README)"};

constexpr OptionSpec kVersionOptions[] = {
    {"--adapter-library", nullptr, "also the adapter library's version (loads it)"}};
constexpr OptionSpec kJsonOnly[] = {kJsonOption};
constexpr OptionSpec kWatchOptions[] = {
    {"--interval", "S", "seconds between samples (default 1; fractions allowed)"},
    {"--count", "N", "stop after N samples (default: until Ctrl-C)"},
    {"--csv", nullptr, "write CSV with a header line instead of an aligned table"},
};

struct Subcommand {
    const char *name;
    const char *synopsis;  // after "mavozarp NAME"
    const char *summary;
    const char *description;
    bool takesDevice;
    std::span<const OptionSpec> options;  // besides the device selector and --help
    int (*run)(const ParsedArguments &);
};

constexpr Subcommand kSubcommands[] = {
    {"version", "[--adapter-library]", "show the library's version",
     "Shows the version of the MavoZARP library, and with --adapter-library the version of the\n"
     "USB-to-I2C adapter library as well.",
     false, kVersionOptions, RunVersion},
    {"scan", "[--json]", "find the supplies on the USB-to-I2C adapters",
     "Looks for supplies on the USB-to-I2C adapters, identifies the head of each and lists them:\n"
     "index (for --adapter N), transport, head type and laser model.",
     false, kJsonOnly, RunScan},
    {"send", "DEVICE [--json] CMD...", "send commands and show the replies",
     "Sends each command of the language to the device and shows it with its reply, one line\n"
     "each; a set command that succeeds shows (ok). The first failing command ends the run: its\n"
     "status code, name and meaning go to standard error, the remaining commands are not sent,\n"
     "and the exit status is 1.\n\n"
     "Example: mavozarp send --simulated '?P' PCMD=2.5 '?PCMD'",
     true, kJsonOnly, RunSend},
    {"status", "DEVICE [--json]", "show everything the head can tell",
     "Shows one panel of the head: identification, power and its unit, current, every\n"
     "temperature and drive, the states, the fault word decoded for the head's family, and the\n"
     "hours. Readings the head does not have are shown as not supported.",
     true, kJsonOnly, RunStatus},
    {"watch", "DEVICE [--interval S] [--count N] [--csv] CMD...", "log readings periodically",
     "Sends the commands every interval and writes one line per sample: the time, the seconds\n"
     "since the start and one column per command. Ctrl-C stops after the current sample.\n"
     "A failed reading shows as \"error CODE\" in the table and as an empty field in CSV; each\n"
     "kind of failure is explained once on standard error.\n\n"
     "Example: mavozarp watch --simulated --interval 0.5 --csv '?P' '?C' '?TMAIN' > log.csv",
     true, kWatchOptions, RunWatch},
    {"shell",
     "DEVICE",
     "type commands at a prompt",
     "An interactive prompt: every line is one command of the language, answered at once.\n"
     "Line editing, history and completion (Tab) when reading from a terminal. 'help' lists the\n"
     "commands, 'quit' or end of input leaves. Lines can also be piped in.",
     true,
     {},
     RunShell},
};

const Subcommand *FindSubcommand(std::string_view name) {
    for (const Subcommand &subcommand : kSubcommands) {
        if (subcommand.name == name) return &subcommand;
    }
    return nullptr;
}

std::vector<OptionSpec> OptionsOf(const Subcommand &subcommand) {
    std::vector<OptionSpec> options;
    if (subcommand.takesDevice)
        options.assign(std::begin(kSelectorOptions), std::end(kSelectorOptions));
    options.insert(options.end(), subcommand.options.begin(), subcommand.options.end());
    options.push_back(kHelpOption);
    return options;
}

void PrintOptions(const char *title, std::span<const OptionSpec> options) {
    std::cout << '\n' << title << ":\n";
    for (const OptionSpec &option : options) {
        std::string spelled(option.name);
        if (option.valueName != nullptr) spelled += std::string(" ") + option.valueName;
        if (option.name == kHelpOption.name) spelled = "-h, --help";
        std::cout << "  " << spelled
                  << std::string(spelled.size() < 20 ? 20 - spelled.size() : 1, ' ') << option.help
                  << '\n';
    }
}

void PrintSubcommandHelp(const Subcommand &subcommand) {
    std::cout << "Usage: mavozarp " << subcommand.name << ' ' << subcommand.synopsis << "\n\n"
              << subcommand.description << '\n';
    if (subcommand.takesDevice) PrintOptions("DEVICE, exactly one of", kSelectorOptions);
    std::vector<OptionSpec> own(subcommand.options.begin(), subcommand.options.end());
    own.push_back(kHelpOption);
    PrintOptions("Options", own);
}

void PrintGeneralHelp(std::ostream &out) {
    out << "Usage: mavozarp SUBCOMMAND [OPTIONS] [ARGUMENTS]\n\n"
           "Controls laser power supplies and their heads through the MavoZARP library.\n\n"
           "Subcommands:\n";
    for (const Subcommand &subcommand : kSubcommands) {
        const std::string name = subcommand.name;
        out << "  " << name << std::string(10 - name.size(), ' ') << subcommand.summary << '\n';
    }
    out << "\nA device is chosen anew by every invocation: --port PATH, --adapter N or "
           "--simulated.\n"
           "Run 'mavozarp SUBCOMMAND --help' for the details of one subcommand.\n"
           "Exit status: 0 success, 1 a device or command failed, 2 a usage mistake.\n";
}

void PrintVersions() {
    char version[MAVOZARP_BUFFER_SIZE] = {};
    MavoZARP_GetDLLVersion(version);
    std::cout << "mavozarp " << MAVOZARP_TOOL_VERSION << " (library: " << version << ")\n";
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty()) {
        PrintGeneralHelp(std::cerr);
        return 2;
    }
    const std::string &first = arguments.front();
    if (first == "--help" || first == "-h" || first == "help") {
        const Subcommand *about = arguments.size() > 1 ? FindSubcommand(arguments[1]) : nullptr;
        about != nullptr ? PrintSubcommandHelp(*about) : PrintGeneralHelp(std::cout);
        return 0;
    }
    if (first == "--version") {
        PrintVersions();
        return 0;
    }
    const Subcommand *subcommand = FindSubcommand(first);
    if (subcommand == nullptr) {
        std::cerr << "mavozarp: unknown subcommand '" << first << "'\n"
                  << "Try 'mavozarp --help'.\n";
        return 2;
    }
    try {
        const std::vector<OptionSpec> options = OptionsOf(*subcommand);
        const ParsedArguments parsed = ParseArguments(std::span(arguments).subspan(1), options);
        if (parsed.Has("--help")) {
            PrintSubcommandHelp(*subcommand);
            return 0;
        }
        return subcommand->run(parsed);
    } catch (const UsageError &error) {
        std::cerr << "mavozarp " << subcommand->name << ": " << error.what() << '\n'
                  << "Try 'mavozarp " << subcommand->name << " --help'.\n";
        return 2;
    } catch (const std::exception &error) {
        std::cout << std::flush;
        std::cerr << "mavozarp: " << error.what() << '\n';
        return 1;
    }
}

// mavozarp: the command-line tool of the MavoZARP library.
#include "arguments.h"
#include "subcommands.h"

#include <MavoZARP.h>

#include "serve_command.h"
#include "worker_main.h"
#include "worker_process.h"

#include <iostream>
#include <string>

namespace {

constexpr OptionDefinition kJsonOption{"--json", nullptr, "write one JSON document (see docs/tool.md)"};

constexpr OptionDefinition kVersionOptions[] = {
    {"--adapter-library", nullptr, "also the adapter library's version (loads it)"}};
constexpr OptionDefinition kJsonOnly[] = {kJsonOption};
constexpr OptionDefinition kPortsOptions[] = {
    kJsonOption,
    {"--probe", nullptr, "open each port that nobody holds and tell which supply answers"}};
constexpr OptionDefinition kWatchOptions[] = {
    {"--interval", "S", "seconds between samples, 0.01 to 86400 (default 1)"},
    {"--count", "N", "stop after N samples, N at least 1 (default: until Ctrl-C)"},
    {"--csv", nullptr, "write CSV with a header line instead of an aligned table"},
};

constexpr const char *kCommands = "CMD";
constexpr const char *kServeUserOperands = "ACTION";
constexpr const char *kCommandsHelp = "commands of the language, in the order they are sent";

constexpr Subcommand kSubcommands[] = {
    {"version", "[--adapter-library]", "show the library's version",
     "Shows the version of the MavoZARP library, and with --adapter-library the version of the\n"
     "USB-to-I2C adapter library as well.",
     false, kVersionOptions, nullptr, nullptr, RunVersion},
    {"scan", "[--json]", "find the supplies on the USB-to-I2C adapters",
     "Looks for supplies on the USB-to-I2C adapters, identifies the head of each and lists them:\n"
     "index (for --adapter N), transport, head type and laser model.",
     false, kJsonOnly, nullptr, nullptr, RunScan},
    {"ports", "[--json] [--probe] [PORT...]", "list the serial ports and what answers on them",
     "Lists the machine's serial ports (Linux: USB and other serial devices with their driver,\n"
     "USB vendor, product and serial number, and their stable /dev/serial/by-id names; Windows:\n"
     "the COM ports), or only the PORTs given. With --probe each port that nobody holds is\n"
     "opened as a host would open it and the supply found is shown: bridge or text, and the\n"
     "head type. A named port that cannot be used is told with the reason, exit status 1.",
     false, kPortsOptions, "PORT", "ports to look at instead of those the system lists",
     RunPorts},
    {"send", "DEVICE [--json] CMD...", "send commands and show the replies",
     "Sends each command of the language to the device and shows it with its reply, one line\n"
     "each; a set command that succeeds shows (ok). The first failing command ends the run: its\n"
     "status code, name and meaning go to standard error, the remaining commands are not sent,\n"
     "and the exit status is 1.\n\n"
     "Example: mavozarp send --simulated '?P' PCMD=2.5 '?PCMD'",
     true, kJsonOnly, kCommands, kCommandsHelp, RunSend},
    {"status", "DEVICE [--json]", "show everything the head can tell",
     "Shows one panel of the head: identification, power and its unit, current, every\n"
     "temperature and drive, the states, the fault word decoded for the head's family, and the\n"
     "hours. Readings the head does not have are shown as not supported; a stage reading its\n"
     "board revision lacks (a Kora or P532 board answers it with -1) as n/a.",
     true, kJsonOnly, nullptr, nullptr, RunStatus},
    {"watch", "DEVICE [--interval S] [--count N] [--csv] CMD...", "log readings periodically",
     "Sends the commands every interval and writes one line per sample: the time, the seconds\n"
     "since the start and one column per command. Ctrl-C stops after the current sample.\n"
     "A failed reading shows as \"error CODE\" in the table and as an empty field in CSV; each\n"
     "kind of failure is explained once on standard error, and the exit status is then 1.\n\n"
     "Example: mavozarp watch --simulated --interval 0.5 --csv '?P' '?C' '?TMAIN' > log.csv",
     true, kWatchOptions, kCommands, kCommandsHelp, RunWatch},
    {"shell",
     "DEVICE",
     "type commands at a prompt",
     "An interactive prompt: every line is one command of the language, answered at once.\n"
     "Line editing, history and completion (Tab) when reading from a terminal. 'help' lists the\n"
     "commands, 'quit' or end of input leaves. Lines can also be piped in.",
     true,
     {},
     nullptr,
     nullptr,
     RunShell},
    {"serve", "DEVICES [OPTIONS]", "serve supplies on the network until stopped",
     "Opens the devices and serves them until stopped (SIGINT or SIGTERM; on Windows Ctrl+C,\n"
     "Ctrl+Break or closing the console): an instrument socket per device (one command per\n"
     "line, one reply line), an HTTP API with JSON under /api/v1, Prometheus metrics at\n"
     "/metrics, a live dashboard in the browser at / (its address, with the token when\n"
     "control is allowed, is printed at start) and, with --modbus-port, every device as a\n"
     "Modbus TCP unit for PLCs and SCADA (see docs/modbus.md). Listens on loopback and is\n"
     "read-only unless told otherwise. Each serial port's supply runs in a worker process of\n"
     "its own and the adapters' supplies together in another, so a slow supply holds up no\n"
     "other device; see docs/service.md." MAVOZARP_SERVE_MQTT_NOTE MAVOZARP_SERVE_TLS_NOTE "\n\n"
     "Example: mavozarp serve --simulated --port /dev/ttyUSB0 --adapters",
     false, kServeOptions, nullptr, nullptr, RunServe},
    {"serve-user", "add NAME ROLE FILE | remove NAME FILE | list FILE",
     "manage the users of the service and their tokens",
     "Changes the users file of 'mavozarp serve': one user a line, with a\n"
     "role (viewer: queries only; operator: settings within the limits; admin: everything,\n"
     "the limits and the audit log too) and the SHA-256 digest of the user's token, never the\n"
     "token itself. 'add' makes the file if need be, readable by its owner only, and prints\n"
     "the new token once, alone on standard output: give it to the user, it cannot be shown\n"
     "again. 'remove' takes the user's line out (a service reads the file when it starts);\n"
     "'list' shows names and roles. A name is 1 to 64 letters, digits and . _ - @, beginning\n"
     "with a letter or digit. The file is replaced whole, never left half written.\n\n"
     "Example: mavozarp serve-user add alice operator /etc/mavozarp/users",
     false, {}, kServeUserOperands, "add NAME ROLE FILE, remove NAME FILE or list FILE",
     RunServeUser},
};

std::string Versions() {
    char version[MAVOZARP_BUFFER_SIZE] = {};
    MavoZARP_GetDLLVersion(version);
    return std::string("mavozarp ") + MAVOZARP_TOOL_VERSION + " (library: " + version + ")";
}

constexpr ToolDescription kTool{
    "Controls laser power supplies and their heads through the MavoZARP library.",
    "A device is chosen anew by every invocation: --port PATH, --adapter N or --simulated.\n"
    "Run 'mavozarp SUBCOMMAND --help' for the details of one subcommand.",
    kSubcommands,
    Versions,
};

// One line: what is wrong, and where to read how it is done.
int ReportUsageMistake(const Subcommand *subcommand, const std::string &mistake) {
    const std::string tool = subcommand != nullptr ? std::string("mavozarp ") + subcommand->name
                                                   : std::string("mavozarp");
    std::cout << std::flush;
    std::cerr << tool << ": " << mistake << " (see '" << tool << " --help')\n";
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    // `mavozarp serve` starts this program again for the devices it puts in worker processes.
    if (argc >= 2 && std::string(argv[1]) == kWorkerMode) return RunServeWorker(argc, argv);
    if (argc < 2) {
        std::cerr << GeneralHelp(kTool);
        return 2;
    }
    const Subcommand *subcommand = nullptr;
    try {
        const Invocation invocation = ReadCommandLine(argc, argv, kTool);
        subcommand = invocation.subcommand;
        if (!invocation.mistake.empty()) return ReportUsageMistake(subcommand, invocation.mistake);
        if (subcommand == nullptr || !invocation.text.empty()) {
            std::cout << invocation.text;
            return 0;
        }
        return subcommand->run(invocation.arguments);
    } catch (const UsageError &error) {
        return ReportUsageMistake(subcommand, error.what());
    } catch (const std::exception &error) {
        std::cout << std::flush;
        std::cerr << "mavozarp: " << error.what() << '\n';
        return 1;
    }
}

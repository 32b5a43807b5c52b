// mavozarp-sim: virtual supplies for people and host programs, no hardware needed. Bridge and
// text supplies are served on pseudo-terminals whose paths it prints; for adapter supplies it
// prints the environment under which the emulated adapter library serves them to any host
// program. It stays up until SIGINT, SIGTERM or SIGHUP (or for the time asked), then stops its
// supplies and exits 0.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bus/adapter_supply_list.h"
#include "bus/head_presets.h"
#include "bus/virtual_supply.h"
#include "launcher/shared_supply_server.h"
#include "launcher/vcd_writer.h"
#include "serial/bridge_emulator.h"
#include "serial/text_supply_emulator.h"

namespace {

constexpr char kProgram[] = "mavozarp-sim";
constexpr int kUsageMistake = 2;
constexpr int kStartFailure = 1;
// Longer waits would overflow the clock's nanoseconds; nobody waits 30 years.
constexpr double kLongestRun = 1e9;

// A usage mistake, told in one line.
struct UsageMistake {
    std::string message;
};

enum class SerialKind { Bridge, Text };

struct SerialSupply {
    SerialKind kind;
    std::string name;  // the preset of a bridge, the head type of a text supply
};

struct Request {
    std::vector<SerialSupply> serialSupplies;
    std::vector<std::string> adapterEntries;
    std::optional<double> seconds;
    bool trace = false;
    bool paced = false;
    std::optional<std::string> vcd;
    bool listPresets = false;
    bool help = false;
};

std::string Quoted(std::string_view text) {
    std::string quoted(1, '"');
    quoted.append(text);
    return quoted += '"';
}

void AddBridge(Request &request, std::optional<std::string_view> preset) {
    if (sim::FindHeadPreset(std::string(*preset)) == nullptr) {
        throw UsageMistake{"unknown preset " + Quoted(*preset) + " (see --list-presets)"};
    }
    request.serialSupplies.push_back({SerialKind::Bridge, std::string(*preset)});
}

void AddText(Request &request, std::optional<std::string_view> type) {
    const std::string_view headType = type.value_or(sim::TextSupplyEmulator::kDefaultHeadType);
    const bool printable =
        !headType.empty() &&
        std::all_of(headType.begin(), headType.end(), [](char c) { return c >= ' ' && c < 0x7F; });
    if (!printable) throw UsageMistake{"--text: the head type must be printable text"};
    request.serialSupplies.push_back({SerialKind::Text, std::string(headType)});
}

void AddAdapter(Request &request, std::optional<std::string_view> entry) {
    const sim::AdapterSupplyList list = sim::ParseAdapterSupplyList(*entry);
    if (!list.problems.empty()) {
        const sim::AdapterSupplyProblem &first = list.problems.front();
        throw UsageMistake{"--adapter " + Quoted(first.entry) + ": " + first.reason};
    }
    if (list.entries.empty()) throw UsageMistake{"--adapter needs a preset"};
    request.adapterEntries.emplace_back(*entry);
}

void SetDuration(Request &request, std::optional<std::string_view> text) {
    double seconds = -1;
    const char *end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, seconds);
    if (error != std::errc() || stop != end || !(seconds >= 0 && seconds <= kLongestRun)) {
        throw UsageMistake{"--for " + Quoted(*text) + ": not a number of seconds"};
    }
    request.seconds = seconds;
}

enum class Argument { None, Required, Optional };

struct Option {
    std::string_view name;
    Argument argument;
    std::string_view value;  // the argument's name in the help
    std::string_view help;
    void (*apply)(Request &request, std::optional<std::string_view> argument);
};

// Help texts break their lines with "\n"; the help indents the continuation lines.
const Option kOptions[] = {
    {"--bridge", Argument::Required, "PRESET",
     "a supply behind a UART-to-I2C bridge (9600 baud), its head built\nfrom PRESET", AddBridge},
    {"--text", Argument::Optional, "[TYPE]",
     "a supply that takes the text commands itself (115200 baud);\nits head type is TYPE "
     "(default Kora)",
     AddText},
    {"--adapter", Argument::Required, "ENTRY",
     "a supply on a virtual USB-to-I2C adapter, served by the emulated\nadapter library to "
     "host programs run with the printed environment;\n"
     "ENTRY is PRESET[@name=TEXT][@serial=TEXT][@location=NUMBER]",
     AddAdapter},
    {"--for", Argument::Required, "SECONDS", "stop after SECONDS instead of waiting for a signal",
     SetDuration},
    {"--paced", Argument::None, "",
     "pace bridge and text supplies at their line speed (9600 and\n115200 baud): an exchange "
     "takes the time it takes on a real line",
     [](Request &request, std::optional<std::string_view>) { request.paced = true; }},
    {"--trace", Argument::None, "",
     "print every transfer on each supply's bus, decoded, with the time",
     [](Request &request, std::optional<std::string_view>) { request.trace = true; }},
    {"--vcd", Argument::Required, "FILE",
     "write the clock and data lines of the first bridge supply's I2C\nbus to FILE as a Value "
     "Change Dump (GTKWave, PulseView)",
     [](Request &request, std::optional<std::string_view> file) { request.vcd = std::string(*file); }},
    {"--list-presets", Argument::None, "", "list the head presets and exit",
     [](Request &request, std::optional<std::string_view>) { request.listPresets = true; }},
    {"--help", Argument::None, "", "show this help and exit",
     [](Request &request, std::optional<std::string_view>) { request.help = true; }},
};

Request ParseArguments(const std::vector<std::string_view> &arguments) {
    Request request;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const auto option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                         [&](const Option &o) { return o.name == arguments[i]; });
        if (option == std::end(kOptions)) {
            throw UsageMistake{"unknown option " + Quoted(arguments[i]) + " (see --help)"};
        }
        std::optional<std::string_view> value;
        const bool next = i + 1 < arguments.size();
        if (option->argument == Argument::Required) {
            if (!next) {
                throw UsageMistake{std::string(option->name) + " needs " +
                                   std::string(option->value)};
            }
            value = arguments[++i];
        } else if (option->argument == Argument::Optional && next &&
                   !arguments[i + 1].starts_with("-")) {
            value = arguments[++i];
        }
        option->apply(request, value);
    }
    if (!request.help && !request.listPresets && request.serialSupplies.empty() &&
        request.adapterEntries.empty()) {
        throw UsageMistake{"nothing to start: give --bridge, --text or --adapter (see --help)"};
    }
    return request;
}

void PrintHelp() {
    std::printf(
        "Usage: %s [--bridge PRESET]... [--text [TYPE]]... [--adapter ENTRY]... [--paced]\n"
        "       [--for SECONDS]\n"
        "Starts virtual supplies and keeps them up until interrupted (Ctrl-C) or terminated.\n\n",
        kProgram);
    constexpr int kNameWidth = 22;
    for (const Option &option : kOptions) {
        const std::string name = std::string(option.name) + " " + std::string(option.value);
        std::string help(option.help);
        for (size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1)) {
            help.insert(at + 1, kNameWidth + 3, ' ');
        }
        std::printf("  %-*s %s\n", kNameWidth, name.c_str(), help.c_str());
    }
    std::printf(
        "\nStandard output, one line each in the order given, the path always last:\n"
        "  bridge PRESET PATH\n"
        "  text TYPE PATH\n"
        "  export %s='ENTRY,...'\n"
        "  export %s='SOCKET'\n"
        "  export LD_LIBRARY_PATH='DIR'\"${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}\"\n"
        "  ready\n"
        "The export lines (with --adapter only) are for a shell: eval them, or run a host\n"
        "program with that environment, and it finds the adapter supplies. Their state lives\n"
        "here: every host program reaches the same supplies through the socket while this\n"
        "runs. Without the socket variable a host gets supplies of its own from the list.\n\n"
        "Lines on standard input act on the adapter supplies (answered on standard output):\n"
        "  unplug N    plug N    add ENTRY\n"
        "A terminal is read only while the launcher is its foreground job: started with & in an\n"
        "interactive shell it leaves what is typed to the shell and serves on (fg to command it).\n"
        "With --trace, every transfer follows on standard output, one line each:\n"
        "  SECONDS SUPPLY [gpio] write|read ADDRESS [reg BYTES] [data BYTES] ack|nack\n"
        "(gpio: driven bit by bit through the bridge's GPIO port).\n"
        "Exit status: 0 stopped cleanly, 1 the supplies could not be started, 2 a usage mistake.\n",
        sim::kAdapterSupplyListVariable, sim::kSharedSuppliesSocketVariable);
}

void PrintPresets() {
    for (const sim::HeadPreset &preset : sim::HeadPresets()) {
        std::printf("%-14s %s\n", preset.name.c_str(), preset.description.c_str());
    }
}

// The text in single quotes, safe for a POSIX shell.
std::string ShellQuoted(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string Joined(const std::vector<std::string> &pieces, std::string_view separator) {
    std::string joined;
    for (const std::string &piece : pieces) {
        if (!joined.empty()) joined += separator;
        joined += piece;
    }
    return joined;
}

// Trace lines: one per transaction, under one lock so lines from several supplies never mix.
class TracePrinter {
public:
    void Print(const std::string &supply, const sim::I2cTransaction &seen) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::string line = std::to_string(seconds).substr(0, 16) + " " + supply;
        line += seen.bitLevel ? " gpio" : "";
        line += seen.reads ? " read " : " write ";
        line += Hex({seen.address});
        // The first written byte selects the register; a read's written bytes all point at it.
        const size_t pointer = seen.reads ? seen.written.size() : std::min<size_t>(1, seen.written.size());
        if (pointer > 0) line += " reg " + Hex({seen.written.begin(), seen.written.begin() + pointer});
        const std::vector<uint8_t> data(seen.reads ? seen.read : std::vector<uint8_t>(
                                                                     seen.written.begin() + pointer,
                                                                     seen.written.end()));
        if (!data.empty()) line += " data " + Hex(data, " ");
        line += seen.acknowledged ? " ack\n" : " nack\n";
        std::lock_guard<std::mutex> lock(mutex_);
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }

private:
    static std::string Hex(const std::vector<uint8_t> &bytes, const char *separator = "") {
        std::string text = "0x";
        char digits[4];
        for (size_t i = 0; i < bytes.size(); ++i) {
            std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
            if (i > 0) text += separator;
            text += digits;
        }
        return separator[0] == '\0' ? text : text.substr(2);
    }

    std::mutex mutex_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Whether standard input is the terminal of a job the shell put in the background: reading it
// then would take what the user types to the shell (and the terminal would stop the launcher,
// its supplies with it, had SIGTTIN not been ignored).
bool InputIsTerminalOfBackgroundJob() {
    if (!isatty(STDIN_FILENO)) return false;
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground != -1 && foreground != getpgrp();
}

// Commands on standard input for the adapter supplies, read until its end or the launcher's. A
// launcher in the background of an interactive shell leaves the terminal alone and serves on; it
// takes commands once it is brought to the foreground.
class ControlInput {
public:
    explicit ControlInput(sim::SharedSupplyServer &server) : server_(server) {
        if (pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        reader_ = std::thread([this] { Read(); });
    }
    ~ControlInput() {
        const char wake = 1;
        (void)!write(stop_[1], &wake, 1);
        reader_.join();
        close(stop_[0]);
        close(stop_[1]);
    }
    ControlInput(const ControlInput &) = delete;
    ControlInput &operator=(const ControlInput &) = delete;

private:
    void Read() {
        // How often a launcher in the background looks whether it was brought to the foreground.
        constexpr int kForegroundCheckMs = 200;
        std::string pending;
        char buffer[256];
        for (;;) {
            const bool background = InputIsTerminalOfBackgroundJob();
            // A negative descriptor is not watched: in the background only the stop is.
            pollfd watched[] = {{background ? -1 : STDIN_FILENO, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(watched, 2, background ? kForegroundCheckMs : -1) < 0 && errno == EINTR) {
                continue;
            }
            if (watched[1].revents != 0) return;
            if (watched[0].revents == 0) continue;
            const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
            // Put in the background between the look and the read (EIO: SIGTTIN is ignored).
            if (count < 0 && (errno == EINTR || (errno == EIO && InputIsTerminalOfBackgroundJob()))) {
                continue;
            }
            if (count <= 0) return;  // no more commands; the supplies stay up
            pending.append(buffer, static_cast<size_t>(count));
            for (size_t end = pending.find('\n'); end != std::string::npos;
                 end = pending.find('\n')) {
                Act(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
    }

    void Act(const std::string &line) {
        std::istringstream words(line);
        std::string verb, argument;
        words >> verb >> argument;
        std::string answer;
        if (verb == "add") {
            const sim::AdapterSupplyList list = sim::ParseAdapterSupplyList(argument);
            answer = list.entries.size() == 1 && list.problems.empty()
                         ? "added " + std::to_string(server_.Add(list.entries.front()))
                         : "";
        } else if (verb == "plug" || verb == "unplug") {
            uint32_t adapter = 0;
            const char *end = argument.data() + argument.size();
            const auto [stop, error] = std::from_chars(argument.data(), end, adapter);
            const bool known = !argument.empty() && error == std::errc() && stop == end &&
                               server_.SetPlugged(adapter, verb == "plug");
            answer = known ? verb + "ged " + argument : "";
        } else if (verb.empty()) {
            return;
        }
        if (answer.empty()) {
            std::fprintf(stderr, "%s: cannot do \"%s\" (commands: unplug N, plug N, add ENTRY)\n",
                         kProgram, line.c_str());
            return;
        }
        std::printf("%s\n", answer.c_str());
        std::fflush(stdout);
    }

    sim::SharedSupplyServer &server_;
    int stop_[2] = {-1, -1};
    std::thread reader_;
};

// The supplies on pseudo-terminals, up while the object lives.
class SerialSupplies {
public:
    // Starts each supply and prints its line.
    SerialSupplies(const std::vector<SerialSupply> &supplies, bool paced, TracePrinter *trace,
                   sim::VcdWriter *vcd)
        : paced_(paced), vcd_(vcd) {
        for (const SerialSupply &supply : supplies) {
            const std::string &path = supply.kind == SerialKind::Bridge
                                          ? StartBridge(supply.name, trace)
                                          : StartText(supply.name);
            std::printf("%s %s %s\n", supply.kind == SerialKind::Bridge ? "bridge" : "text",
                        supply.name.c_str(), path.c_str());
        }
    }

private:
    const std::string &StartBridge(const std::string &preset, TracePrinter *trace) {
        auto &bridge = *bridges_.emplace_back(std::make_unique<sim::BridgeEmulator>());
        const std::string name = "bridge " + std::to_string(bridges_.size() - 1);
        // The preset's parts stay on the bridge's bus, which owns them.
        bridge.WithBus([&](sim::I2cBus &bus) {
            sim::VirtualSupply parts(bus);
            sim::FindHeadPreset(preset)->apply(parts);
            // The dump records the first bridge only: one bus per file.
            sim::VcdWriter *vcd = bridges_.size() == 1 ? vcd_ : nullptr;
            if (trace != nullptr || vcd != nullptr) {
                bus.Observe([trace, vcd, name](const sim::I2cTransaction &seen) {
                    if (trace != nullptr) trace->Print(name, seen);
                    if (vcd != nullptr) vcd->Transaction(seen);
                });
            }
        });
        if (vcd_ != nullptr && bridges_.size() == 1) {
            bridge.ObserveLines([vcd = vcd_](bool data, bool clock, bool sinceClockRose) {
                vcd->Lines(data, clock, sinceClockRose);
            });
        }
        if (paced_) bridge.Line().SetPacing(sim::BridgeEmulator::kLineBaud);
        return bridge.Line().Path();
    }

    const std::string &StartText(const std::string &headType) {
        auto &text = *texts_.emplace_back(std::make_unique<sim::TextSupplyEmulator>());
        text.SetAnswer(sim::TextSupplyEmulator::kHeadTypeRequest, headType);
        if (paced_) text.Line().SetPacing(sim::TextSupplyEmulator::kLineBaud);
        return text.Line().Path();
    }

    bool paced_;
    sim::VcdWriter *vcd_;
    std::vector<std::unique_ptr<sim::BridgeEmulator>> bridges_;
    std::vector<std::unique_ptr<sim::TextSupplyEmulator>> texts_;
};

// The folder of the emulated adapter library: the private folder an installation puts it in, or
// the build folder of a launcher that is not installed. Both are known relative to the launcher
// itself, so an installation can be moved or made under any prefix.
std::filesystem::path EmulatedAdapterDir() {
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    std::string tried;
    for (const char *relative :
         {MAVOZARP_SIM_INSTALLED_ADAPTER_DIR, MAVOZARP_SIM_BUILT_ADAPTER_DIR}) {
        std::filesystem::path dir = (self.parent_path() / relative).lexically_normal();
        if (!dir.has_filename()) dir = dir.parent_path();  // "sim/" of "sim/."
        if (std::filesystem::exists(dir / MAVOZARP_SIM_ADAPTER_FILE)) return dir;
        tried += (tried.empty() ? "" : ", ") + dir.string();
    }
    throw std::runtime_error(std::string("the emulated adapter library ") +
                             MAVOZARP_SIM_ADAPTER_FILE + " is in none of " + tried);
}

void PrintAdapterEnvironment(const std::vector<std::string> &entries,
                             const sim::SharedSupplyServer &server,
                             const std::filesystem::path &adapterDir) {
    std::printf("export %s=%s\n", sim::kAdapterSupplyListVariable,
                ShellQuoted(Joined(entries, ",")).c_str());
    std::printf("export %s=%s\n", sim::kSharedSuppliesSocketVariable,
                ShellQuoted(server.SocketPath()).c_str());
    std::printf("export LD_LIBRARY_PATH=%s\"${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}\"\n",
                ShellQuoted(adapterDir.string()).c_str());
}

// Waits for one of the stop signals, or until `seconds` passed when given.
void AwaitStop(const sigset_t &stopSignals, std::optional<double> seconds) {
    if (!seconds) {
        int signal = 0;
        while (sigwait(&stopSignals, &signal) != 0) {
        }
        return;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(*seconds));
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
        if (left.count() <= 0) return;
        const timespec wait{static_cast<time_t>(left.count() / 1'000'000'000),
                            static_cast<long>(left.count() % 1'000'000'000)};
        if (sigtimedwait(&stopSignals, nullptr, &wait) >= 0) return;
        // Time up (EAGAIN) shows at the top of the loop; another signal (EINTR) waits on.
    }
}

int Run(const Request &request) {
    if (request.help) {
        PrintHelp();
        return 0;
    }
    if (request.listPresets) {
        PrintPresets();
        return 0;
    }
    // The stop signals are taken by AwaitStop alone: blocked before the emulators' threads
    // start, which inherit the mask. A reader that went away must not kill the supplies.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A job in the background of an interactive shell is stopped by its terminal when it reads
    // from it (or, with "stty tostop", writes to it); stopped, every supply falls silent.
    std::signal(SIGTTIN, SIG_IGN);
    std::signal(SIGTTOU, SIG_IGN);

    // Looked up first: nothing starts when adapter supplies could not be served.
    const std::filesystem::path adapterDir =
        request.adapterEntries.empty() ? std::filesystem::path() : EmulatedAdapterDir();
    TracePrinter trace;
    TracePrinter *tracing = request.trace ? &trace : nullptr;
    // Made before the supplies and closed after them, so the dump has every change.
    std::unique_ptr<sim::VcdWriter> vcd;
    if (request.vcd) vcd = std::make_unique<sim::VcdWriter>(*request.vcd);
    const SerialSupplies supplies(request.serialSupplies, request.paced, tracing, vcd.get());
    std::unique_ptr<sim::SharedSupplyServer> adapterSupplies;
    std::unique_ptr<ControlInput> control;
    if (!request.adapterEntries.empty()) {
        sim::SharedSupplyServer::Tracer tracer;
        if (tracing != nullptr) {
            tracer = [tracing](uint32_t adapter, const sim::I2cTransaction &seen) {
                tracing->Print("adapter " + std::to_string(adapter), seen);
            };
        }
        adapterSupplies = std::make_unique<sim::SharedSupplyServer>(tracer);
        for (const std::string &entries : request.adapterEntries) {
            for (const sim::AdapterSupplyEntry &entry : sim::ParseAdapterSupplyList(entries).entries) {
                adapterSupplies->Add(entry);
            }
        }
        PrintAdapterEnvironment(request.adapterEntries, *adapterSupplies, adapterDir);
        control = std::make_unique<ControlInput>(*adapterSupplies);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    AwaitStop(stopSignals, request.seconds);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return Run(ParseArguments(std::vector<std::string_view>(argv + 1, argv + argc)));
    } catch (const UsageMistake &mistake) {
        std::fprintf(stderr, "%s: %s\n", kProgram, mistake.message.c_str());
        return kUsageMistake;
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "%s: cannot start the supplies: %s\n", kProgram, failure.what());
        return kStartFailure;
    }
}

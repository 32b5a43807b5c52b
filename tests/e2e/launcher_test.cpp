// The virtual supply launcher, run as a person or a script runs it: the built program as a child
// process, its printed lines used to reach its supplies through the exports, its exit checked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "MavoZARP.h"
#include "support/adapter_library.h"
#include "tool_runner.h"

namespace {

using namespace std::chrono_literals;

// Generous bounds for a loaded machine: they only keep a broken launcher from hanging the test.
constexpr auto kStartBound = 30s;
constexpr auto kExitBound = 30s;

struct Exit {
    bool exited;  // false: killed by a signal or still running at the bound
    int status;
};

// The launcher with its standard output and error on pipes. Killed and reaped if a test leaves
// it running.
class Launcher {
public:
    explicit Launcher(const std::vector<std::string> &arguments) {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(127);
            for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
            std::vector<char *> argv{const_cast<char *>(MAVOZARP_SIM_PATH)};
            for (const std::string &argument : arguments) {
                argv.push_back(const_cast<char *>(argument.c_str()));
            }
            argv.push_back(nullptr);
            execv(MAVOZARP_SIM_PATH, argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
    }
    ~Launcher() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (const int fd : {stdin_, stdout_, stderr_}) close(fd);
    }
    Launcher(const Launcher &) = delete;
    Launcher &operator=(const Launcher &) = delete;

    // The lines printed up to "ready" (without it); empty when the output ended first.
    std::vector<std::string> LinesUntilReady() {
        std::vector<std::string> lines;
        for (std::string line = NextLine(); line != "ready"; line = NextLine()) {
            if (line.empty()) return {};
            lines.push_back(line);
        }
        return lines;
    }

    // The next line printed; empty when the output ended first.
    std::string NextLine() {
        const auto deadline = std::chrono::steady_clock::now() + kStartBound;
        while (pending_.find('\n') == std::string::npos) {
            const std::string more = ReadSome(stdout_, deadline);
            if (more.empty()) return {};
            pending_ += more;
        }
        const size_t end = pending_.find('\n');
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
    }

    // A control command on standard input; its answer is the next line printed.
    std::string Command(const std::string &line) {
        const std::string text = line + "\n";
        if (write(stdin_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return {};
        return NextLine();
    }

    void Signal(int signal) const { kill(pid_, signal); }

    Exit Wait() {
        const auto deadline = std::chrono::steady_clock::now() + kExitBound;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) return {false, -1};
            std::this_thread::sleep_for(10ms);
        }
        reaped_ = true;
        return {WIFEXITED(status), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }

    // Everything the launcher wrote to standard error, up to the end of it.
    std::string Errors() const { return ReadAll(stderr_); }

private:
    // Some bytes, or none at the end of the output or at the deadline.
    static std::string ReadSome(int fd, std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return {};
        char buffer[512];
        const ssize_t count = read(fd, buffer, sizeof buffer);
        return count > 0 ? std::string(buffer, static_cast<size_t>(count)) : std::string();
    }

    static std::string ReadAll(int fd) {
        const auto deadline = std::chrono::steady_clock::now() + kExitBound;
        std::string text;
        for (std::string more; !(more = ReadSome(fd, deadline)).empty();) text += more;
        return text;
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string pending_;  // printed, not yet taken as a line
    int stdin_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
};

// A line "KIND NAME PATH" split at its first and last blank (a head type may hold blanks).
struct SupplyLine {
    std::string kind, name, path;
};

SupplyLine SplitSupplyLine(const std::string &line) {
    const size_t first = line.find(' ');
    const size_t last = line.rfind(' ');
    if (first == std::string::npos || first == last) return {line, "", ""};
    return {line.substr(0, first), line.substr(first + 1, last - first - 1), line.substr(last + 1)};
}

// The value of "export NAME='value'..." with the shell's quoting undone.
std::map<std::string, std::string> Exports(const std::vector<std::string> &lines) {
    std::map<std::string, std::string> values;
    for (const std::string &line : lines) {
        if (!line.starts_with("export ")) continue;
        const size_t equals = line.find('=');
        std::string value;
        bool quoted = false;
        for (size_t i = equals + 1; i < line.size(); ++i) {
            if (line[i] == '\'') {
                quoted = !quoted;
            } else if (quoted || line[i] == '\\') {
                if (!quoted) ++i;  // an escaped character outside the quotes
                value += line[i];
            } else {
                break;  // the rest is shell for what was set before
            }
        }
        values[line.substr(7, equals - 7)] = value;
    }
    return values;
}

// The bridge's probe written raw to the path: read internal register 0, expect 0xF0.
int ProbeAnswer(const std::string &path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    const unsigned char probe[] = {0x52, 0x00};
    unsigned char answer = 0;
    pollfd ready{fd, POLLIN, 0};
    const int waitMs = static_cast<int>(std::chrono::milliseconds(kStartBound).count());
    const bool answered = write(fd, probe, sizeof probe) == 2 && poll(&ready, 1, waitMs) == 1 &&
                          read(fd, &answer, 1) == 1;
    close(fd);
    return answered ? answer : -1;
}

TEST(Launcher, PrintsSuppliesThatAnswerAndStopsCleanlyOnSigterm) {
    Launcher launcher({"--bridge", "kora-band1", "--text", "Vfk", "--text"});
    const std::vector<std::string> lines = launcher.LinesUntilReady();
    ASSERT_EQ(lines.size(), 3u);
    const SupplyLine bridge = SplitSupplyLine(lines[0]);
    const SupplyLine vfk = SplitSupplyLine(lines[1]);
    const SupplyLine kora = SplitSupplyLine(lines[2]);
    EXPECT_EQ(bridge.kind + " " + bridge.name, "bridge kora-band1");
    EXPECT_EQ(vfk.kind + " " + vfk.name, "text Vfk");
    EXPECT_EQ(kora.kind + " " + kora.name, "text Kora");
    EXPECT_TRUE(bridge.path.starts_with("/dev/")) << bridge.path;

    EXPECT_EQ(ProbeAnswer(bridge.path), 0xF0);

    // The bridge carries the preset's head; the text supply answers with its type.
    MavoZARP_Handle device = 0;
    ASSERT_EQ(MavoZARP_OpenSerialPort(bridge.path.c_str(), &device), MAVOZARP_STATUS_SUCCESS);
    char headType[MAVOZARP_BUFFER_SIZE] = {};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(MavoZARP_InitializeHandle(device, headType), MAVOZARP_STATUS_SUCCESS);
    ::testing::internal::GetCapturedStdout();
    EXPECT_STREQ(headType, "Kora");
    EXPECT_EQ(MavoZARP_Close(device), MAVOZARP_STATUS_SUCCESS);

    ASSERT_EQ(MavoZARP_OpenSerialPort(vfk.path.c_str(), &device), MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(MavoZARP_InitializeHandle(device, headType), MAVOZARP_STATUS_SUCCESS);
    EXPECT_STREQ(headType, "Vfk\r\n");
    EXPECT_EQ(MavoZARP_Close(device), MAVOZARP_STATUS_SUCCESS);

    launcher.Signal(SIGTERM);
    const Exit exit = launcher.Wait();
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 0);
    EXPECT_EQ(launcher.Errors(), "");
}

// A launcher typed into an interactive shell as a background job ("mavozarp-sim ... &", as the
// demo shows it) shares the shell's terminal. Reading it there, the terminal would stop the
// launcher and every supply with it; it serves on instead, leaves what is typed to the shell, and
// takes the commands typed meanwhile once brought to the foreground.
TEST(Launcher, InTheBackgroundOfAShellsTerminalItServesOnAndReadsNothing) {
    char pattern[] = "/tmp/mavozarp-job-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path folder = pattern;
    const std::unique_ptr<const char, void (*)(const char *)> removal(
        pattern, [](const char *path) { std::filesystem::remove_all(path); });
    const std::string output = folder / "launcher.out", pidFile = folder / "launcher.pid";
    const std::string go = folder / "go";
    ASSERT_EQ(mkfifo(go.c_str(), 0600), 0);
    // A shell with job control on its terminal: the launcher in the background, then the shell
    // waits on the fifo (reading nothing from the terminal) and brings it to the foreground.
    const char *script = R"(set -m; "$0" --bridge kora-band1 --adapter vfk >"$1" &
echo $! >"$2"; read -r go <"$3"; fg)";
    int terminal = -1;
    const pid_t shell = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(shell, 0);
    if (shell == 0) {
        execl("/bin/bash", "bash", "-c", script, MAVOZARP_SIM_PATH, output.c_str(),
              pidFile.c_str(), go.c_str(), nullptr);
        _exit(127);
    }
    pid_t launcher = -1;
    const std::unique_ptr<const pid_t, void (*)(const pid_t *)> stopping(
        &launcher, [](const pid_t *pid) {
            if (*pid > 0) kill(*pid, SIGKILL);
        });
    const auto printed = [&] {
        std::ifstream file(output);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    const auto awaitPrinted = [&](const std::string &line) {
        const auto deadline = std::chrono::steady_clock::now() + kStartBound;
        while (!Contains(printed(), line + "\n") && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
        }
        return Contains(printed(), line + "\n");
    };
    ASSERT_TRUE(awaitPrinted("ready")) << printed();
    std::ifstream(pidFile) >> launcher;
    ASSERT_GT(launcher, 0);

    // Typed while the launcher runs in the background: the line is the shell's.
    const std::string typed = "unplug 0\n";
    ASSERT_EQ(write(terminal, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    std::this_thread::sleep_for(500ms);  // time for a reader of the terminal to be stopped
    std::ifstream stat("/proc/" + std::to_string(launcher) + "/stat");
    std::string pid, name, state;
    stat >> pid >> name >> state;
    EXPECT_NE(state, "T") << "the terminal stopped the launcher";
    const SupplyLine bridge = SplitSupplyLine(Lines(printed()).front());
    EXPECT_EQ(ProbeAnswer(bridge.path), 0xF0);
    EXPECT_FALSE(Contains(printed(), "unplugged")) << printed();

    // In the foreground it takes what was typed.
    const int fifo = open(go.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fifo, 0);
    ASSERT_EQ(write(fifo, "go\n", 3), 3);
    close(fifo);
    EXPECT_TRUE(awaitPrinted("unplugged 0")) << printed();

    ASSERT_EQ(kill(launcher, SIGTERM), 0);
    int status = -1;
    ASSERT_EQ(waitpid(shell, &status, 0), shell);
    launcher = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;  // fg: the launcher's
    close(terminal);
}

TEST(Launcher, PrintsTheEnvironmentThatServesAdapterSupplies) {
    Launcher launcher({"--adapter", "kora-band1@serial=Z'1", "--adapter", "vfk", "--for", "600"});
    const std::map<std::string, std::string> exports = Exports(launcher.LinesUntilReady());
    ASSERT_EQ(exports.size(), 3u);
    EXPECT_EQ(exports.at("MAVOFTCI2C_EMULATED_SUPPLIES"), "kora-band1@serial=Z'1,vfk");
    EXPECT_TRUE(std::filesystem::is_socket(exports.at("MAVOFTCI2C_EMULATED_SOCKET")));
    EXPECT_TRUE(std::filesystem::exists(exports.at("LD_LIBRARY_PATH") + "/libMavoFTCI2C.so"))
        << exports.at("LD_LIBRARY_PATH");

    // A host process with that environment finds both supplies.
    ASSERT_EQ(setenv("MAVOFTCI2C_EMULATED_SUPPLIES",
                     exports.at("MAVOFTCI2C_EMULATED_SUPPLIES").c_str(), 1),
              0);
    UseEmulatedAdapter();
    MavoZARP_Handle all[MAVOZARP_MAX_DEVICES], added[MAVOZARP_MAX_DEVICES],
        removed[MAVOZARP_MAX_DEVICES];
    int32_t allCount = 0, newCount = 0, removedCount = 0;
    ASSERT_EQ(MavoZARP_CheckForDevices(all, &allCount, added, &newCount, removed, &removedCount),
              MAVOZARP_STATUS_SUCCESS);
    ASSERT_EQ(newCount, 2);
    std::vector<std::string> types;
    for (int i = 0; i < newCount; ++i) {
        char headType[MAVOZARP_BUFFER_SIZE] = {};
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(MavoZARP_InitializeHandle(added[i], headType), MAVOZARP_STATUS_SUCCESS);
        ::testing::internal::GetCapturedStdout();
        types.push_back(headType);
    }
    EXPECT_EQ(types, (std::vector<std::string>{"Kora", "VFK"}));

    launcher.Signal(SIGINT);
    const Exit exit = launcher.Wait();
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 0);
}

// The adapter supplies live in the launcher: what one program sets the next one reads, two
// programs at once see the same supply, and plugging on the running launcher shows in discovery.
// A launcher that stops leaves its supplies unplugged for the programs still using them.
TEST(Launcher, AdapterSuppliesLiveAsLongAsTheLauncherAndAreSharedByEveryProgram) {
    Launcher launcher({"--adapter", "kora-band1", "--adapter", "vfk"});
    const std::map<std::string, std::string> exports = Exports(launcher.LinesUntilReady());
    ASSERT_TRUE(exports.contains("MAVOFTCI2C_EMULATED_SOCKET"));
    const EnvironmentChanges environment(exports.begin(), exports.end());
    const auto reply = [&](const std::vector<std::string> &arguments) {
        const ToolRun run = Tool(arguments, "", environment);
        EXPECT_EQ(run.exit, 0) << run.err;
        // The reply: the last word of the last line.
        const std::vector<std::string> words = Split(run.out.substr(0, run.out.size() - 1), ' ');
        return words.empty() ? std::string() : words.back();
    };

    const std::string before = reply({"send", "--adapter", "0", "?PCMD"});
    const std::string set = reply({"send", "--adapter", "0", "PCMD=0.5", "?PCMD"});
    EXPECT_NE(set, before);
    EXPECT_EQ(reply({"send", "--adapter", "0", "?PCMD"}), set);

    // While one program watches the supply, another changes it.
    ToolProcess watching({"watch", "--adapter", "0", "--interval", "0.2", "--count", "10", "--csv",
                          "?PCMD"},
                         "", environment);
    std::this_thread::sleep_for(300ms);
    reply({"send", "--adapter", "0", "PCMD=0.9"});
    const std::string changed = reply({"send", "--adapter", "0", "?PCMD"});
    ASSERT_EQ(watching.Wait(), 0) << watching.Err();
    EXPECT_TRUE(Lines(watching.Out()).back().ends_with("," + changed))
        << watching.Out();

    // This process as a host program: plugging on the launcher shows in its discovery.
    for (const auto &[name, value] : exports) ASSERT_EQ(setenv(name.c_str(), value.c_str(), 1), 0);
    UseEmulatedAdapter();
    MavoZARP_Handle all[MAVOZARP_MAX_DEVICES], added[MAVOZARP_MAX_DEVICES],
        removed[MAVOZARP_MAX_DEVICES];
    int32_t allCount = 0, addedCount = 0, removedCount = 0;
    const auto discover = [&] {
        return MavoZARP_CheckForDevices(all, &allCount, added, &addedCount, removed,
                                        &removedCount);
    };
    ASSERT_EQ(discover(), MAVOZARP_STATUS_SUCCESS);
    ASSERT_EQ(addedCount, 2);
    const MavoZARP_Handle vfk = added[1];
    EXPECT_EQ(launcher.Command("unplug 1"), "unplugged 1");
    ASSERT_EQ(discover(), MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(allCount, 1);
    ASSERT_EQ(removedCount, 1);
    EXPECT_EQ(removed[0], vfk);
    EXPECT_EQ(Tool({"scan"}, "", environment).out.find("VFK"), std::string::npos);
    EXPECT_EQ(launcher.Command("plug 1"), "plugged 1");
    ASSERT_EQ(discover(), MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(addedCount, 1);
    const MavoZARP_Handle kora = all[0];
    char headType[MAVOZARP_BUFFER_SIZE] = {};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(MavoZARP_InitializeHandle(kora, headType), MAVOZARP_STATUS_SUCCESS);
    ::testing::internal::GetCapturedStdout();

    // The launcher stops: transfers fail at once, and the next discovery finds nothing.
    launcher.Signal(SIGTERM);
    EXPECT_EQ(launcher.Wait().status, 0);
    char answer[MAVOZARP_BUFFER_SIZE] = {};
    EXPECT_EQ(MavoZARP_SendCommand(kora, "?PCMD", answer), MAVOZARP_STATUS_I2C_ERROR);
    ASSERT_EQ(discover(), MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(allCount, 0);
    EXPECT_EQ(removedCount, 2);
    // A program started after it says why it finds nothing, and fails.
    const ToolRun scan = Tool({"scan"}, "", environment);
    EXPECT_EQ(scan.exit, 1);
    EXPECT_EQ(scan.out, "");
    EXPECT_TRUE(scan.err.starts_with("mavozarp: the adapter library cannot list its adapters: "
                                     "mavozarp-sim, the launcher of the virtual supplies, does "
                                     "not answer on " +
                                     exports.at("MAVOFTCI2C_EMULATED_SOCKET")))
        << scan.err;
}

// The dump of a bridge supply's bus, decoded by sigrok's I2C decoder, carries the transactions the
// trace prints: the same addresses and bytes in the same order, the bit-level GPIO reads
// included.
TEST(Launcher, TheDumpOfABridgeBusDecodesToWhatTheTracePrints) {
    const TemporaryFile dump;
    Launcher launcher({"--bridge", "picox-640", "--trace", "--vcd", dump.Path()});
    const std::vector<std::string> lines = launcher.LinesUntilReady();
    ASSERT_EQ(lines.size(), 1u);
    const ToolRun status = Tool({"status", "--port", SplitSupplyLine(lines[0]).path});
    ASSERT_EQ(status.exit, 0) << status.err;
    launcher.Signal(SIGTERM);
    ASSERT_EQ(launcher.Wait().status, 0);

    // "0.5 bridge 0 [gpio] read 0xA4 reg 01 10 data 4B ack" as the wire shows it: an address
    // token (W or R and the 7-bit address) before the bytes that follow it.
    std::vector<std::string> traced;
    for (std::string line = launcher.NextLine(); !line.empty(); line = launcher.NextLine()) {
        std::istringstream words(line);
        std::string time, supply, number, kind, address, word;
        words >> time >> supply >> number >> kind;
        const bool gpio = kind == "gpio";
        if (gpio) words >> kind;
        words >> address;
        char shifted[4];
        std::snprintf(shifted, sizeof shifted, "%02X", std::stoi(address, nullptr, 16) >> 1);
        std::vector<std::string> pointer, data;
        std::vector<std::string> *into = nullptr;
        while (words >> word) {
            if (word == "reg") into = &pointer;
            else if (word == "data") into = &data;
            else if (word != "ack" && word != "nack") {
                const std::string hex = word.starts_with("0x") ? word.substr(2) : word;
                for (size_t at = 0; at < hex.size(); at += 2) into->push_back(hex.substr(at, 2));
            }
        }
        const bool reads = kind == "read";
        traced.push_back(std::string(reads && (gpio || pointer.empty()) ? "R" : "W") + shifted);
        traced.insert(traced.end(), pointer.begin(), pointer.end());
        if (reads && !gpio && !pointer.empty() && !data.empty()) traced.push_back("R" + std::string(shifted));
        traced.insert(traced.end(), data.begin(), data.end());
    }

    ChildProcess sigrok("/usr/bin/sigrok-cli",
                        {"-I", "vcd:compress=100", "-i", dump.Path(), "-P", "i2c", "-A",
                         "i2c=address-read:address-write:data-read:data-write"});
    ASSERT_EQ(sigrok.Wait(), 0) << sigrok.Err();
    std::vector<std::string> decoded;
    for (const std::string &line : Lines(sigrok.Out())) {
        if (!Contains(line, "Address") && !Contains(line, "Data")) continue;  // "Read", "Write"
        const std::string value = line.substr(line.rfind(' ') + 1);
        decoded.push_back(Contains(line, "Address read")    ? "R" + value
                          : Contains(line, "Address write") ? "W" + value
                                                            : value);
    }
    // The library clears the bus before the head is read: a start followed at once by a stop,
    // whose clock pulse this decoder counts as a bit of the next address. Every transaction
    // after that first one must match.
    const auto second = std::find_if(traced.begin() + 1, traced.end(),
                                     [](const std::string &token) { return token[0] == 'W'; });
    const size_t from = static_cast<size_t>(second - traced.begin());
    ASSERT_GT(traced.size(), 100u);
    ASSERT_EQ(decoded.size(), traced.size()) << sigrok.Out();
    const auto [differs, _] = std::mismatch(decoded.begin() + static_cast<std::ptrdiff_t>(from),
                                            decoded.end(),
                                            traced.begin() + static_cast<std::ptrdiff_t>(from));
    const size_t at = static_cast<size_t>(differs - decoded.begin());
    EXPECT_EQ(at, decoded.size()) << "decoded " << decoded[at] << " where the trace has "
                                  << traced[at] << ", token " << at;
    EXPECT_NE(std::find(traced.begin(), traced.end(), "R29"), traced.end());  // a GPIO read
}

TEST(Launcher, StopsByItselfAfterTheTimeAsked) {
    Launcher launcher({"--text", "--for", "0.2"});
    EXPECT_EQ(launcher.LinesUntilReady().size(), 1u);
    const Exit exit = launcher.Wait();
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 0);
}

TEST(Launcher, UsageMistakesGiveOneLineAndStatus2) {
    const struct {
        std::vector<std::string> arguments;
        std::string named;
    } cases[] = {
        {{"--bridge", "kora-band9"}, "kora-band9"},  {{"--text", "--bridge"}, "--bridge"},
        {{"--adapter", "vfk@colour=red"}, "colour"}, {{"--frob"}, "--frob"},
        {{"--text", "--for", "soon"}, "soon"},       {{}, "nothing to start"},
    };
    for (const auto &row : cases) {
        SCOPED_TRACE(row.named);
        Launcher launcher(row.arguments);
        EXPECT_TRUE(launcher.LinesUntilReady().empty());
        const Exit exit = launcher.Wait();
        EXPECT_TRUE(exit.exited);
        EXPECT_EQ(exit.status, 2);
        const std::string errors = launcher.Errors();
        EXPECT_TRUE(errors.starts_with("mavozarp-sim: ")) << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        EXPECT_NE(errors.find(row.named), std::string::npos) << errors;
    }
}

}  // namespace

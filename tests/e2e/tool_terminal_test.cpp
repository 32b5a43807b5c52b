// The shell on a terminal, typed at as a person types: the line is edited, earlier lines come
// back with the arrow key, commands complete with Tab, and the history outlives the session.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Generous for a loaded machine: the bound only keeps a broken shell from hanging the test.
constexpr auto kBound = 30s;

extern "C" char **environ;

// The tool with a pseudo-terminal as its standard input, output and error, in a session of its
// own; HOME is a fresh folder, so the history starts empty and stays out of the user's.
class TerminalSession {
public:
    explicit TerminalSession(const std::vector<std::string> &arguments) {
        char pattern[] = "/tmp/mavozarp-home-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        home_ = pattern;
        int slave = -1;
        if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");

        std::vector<std::string> variables{"HOME=" + home_.string(), "TERM=xterm"};
        for (char **variable = environ; *variable != nullptr; ++variable) {
            const std::string text = *variable;
            if (!text.starts_with("HOME=") && !text.starts_with("TERM=")) variables.push_back(text);
        }
        std::vector<std::string> words{MAVOZARP_TOOL_PATH};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char *> envp, argv;
        for (std::string &variable : variables) envp.push_back(variable.data());
        for (std::string &word : words) argv.push_back(word.data());
        envp.push_back(nullptr);
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (const int fd : {0, 1, 2}) posix_spawn_file_actions_adddup2(&actions, slave, fd);
        posix_spawn_file_actions_addclose(&actions, master_);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        const int failed =
            posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        close(slave);
        if (failed != 0) throw std::runtime_error("cannot start the tool");
    }
    ~TerminalSession() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(master_);
        std::filesystem::remove_all(home_);
    }
    TerminalSession(const TerminalSession &) = delete;
    TerminalSession &operator=(const TerminalSession &) = delete;

    void Type(const std::string &keys) const {
        if (write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
            throw std::runtime_error("cannot type");
    }

    // True once `piece` has appeared `times` times in everything shown so far.
    bool Shows(const std::string &piece, size_t times = 1) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (Count(piece) < times) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadMore(left)) return false;
        }
        return true;
    }

    // The exit status; -1 when the tool did not end within the bound or ended by a signal.
    int Wait() {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            ReadMore(10ms);  // a tool blocked on a full terminal would never end
        }
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string &Shown() const { return shown_; }
    std::string History() const {
        std::ifstream in(home_ / ".mavozarp_history");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    // False when nothing came within `wait`, or the tool has closed the terminal.
    bool ReadMore(std::chrono::milliseconds wait) {
        pollfd ready{master_, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return false;
        char buffer[512];
        const ssize_t count = read(master_, buffer, sizeof buffer);
        if (count <= 0) return false;
        shown_.append(buffer, static_cast<size_t>(count));
        return true;
    }

    size_t Count(const std::string &piece) const {
        size_t found = 0;
        for (size_t at = shown_.find(piece); at != std::string::npos;
             at = shown_.find(piece, at + 1))
            ++found;
        return found;
    }

    std::filesystem::path home_;
    int master_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string shown_;
};

TEST(ToolTerminal, TheShellEditsLinesRecallsThemAndCompletesCommands) {
    TerminalSession session({"shell", "--simulated"});
    const std::string prompt = "mavozarp> ";
    ASSERT_TRUE(session.Shows("Head Dummy on --simulated.")) << session.Shown();

    // Each line is typed once the prompt waits for it, as a person would.
    ASSERT_TRUE(session.Shows(prompt, 1)) << session.Shown();
    session.Type("?HTYPE\r");
    ASSERT_TRUE(session.Shows("Dummy\r\n", 1)) << session.Shown();

    ASSERT_TRUE(session.Shows(prompt, 2)) << session.Shown();
    session.Type("\x1b[A\r");  // arrow up: the line before, sent again
    ASSERT_TRUE(session.Shows("Dummy\r\n", 2)) << session.Shown();

    ASSERT_TRUE(session.Shows(prompt, 3)) << session.Shown();
    session.Type("?wavel\t\r");  // completes to ?WAVELENGTH, whatever the case typed
    ASSERT_TRUE(session.Shows("399.000\r\n")) << session.Shown();

    ASSERT_TRUE(session.Shows(prompt, 4)) << session.Shown();
    session.Type("?TTHX\x7fG\r");  // a typing slip taken back: ?TTHG, which this head refuses
    ASSERT_TRUE(session.Shows("error: -3 invalid command")) << session.Shown();

    ASSERT_TRUE(session.Shows(prompt, 5)) << session.Shown();
    session.Type("quit\r");
    ASSERT_TRUE(session.Shows("1 command was refused")) << session.Shown();
    EXPECT_EQ(session.Wait(), 0);  // quit ends well; the refusal was counted

    const std::string history = session.History();
    EXPECT_TRUE(history.find("?HTYPE") != std::string::npos) << history;
    EXPECT_TRUE(history.find("?WAVELENGTH") != std::string::npos) << history;
}

}  // namespace

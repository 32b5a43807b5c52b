// The command-line tools run as a person or a script runs them: the built program as a child
// process with its output in files (no pipe to fill up, nothing to read concurrently), its exit
// status, and the JSON it writes read back strictly.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

// A temporary file that disappears with the object.
class TemporaryFile {
public:
    TemporaryFile();
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    const std::string &Path() const { return path_; }
    std::string Contents() const;
    void Write(const std::string &text) const;

private:
    int fd_ = -1;
    std::string path_;
};

// Variables set for the child on top of the test's own environment.
using EnvironmentChanges = std::map<std::string, std::string>;

// The environment under which the emulated adapter library serves `supplies` (its
// MAVOFTCI2C_EMULATED_SUPPLIES syntax) to the tool, found by plain name as on a user's machine.
EnvironmentChanges AdapterSupplies(const std::string &supplies);

// A program started with standard input from `input` and its output in files. Killed and reaped
// if the test leaves it running.
class ChildProcess {
public:
    ChildProcess(const std::string &program, const std::vector<std::string> &arguments,
                 const std::string &input = "", const EnvironmentChanges &environment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    void Signal(int number) const;

    // The exit status; -1 when the process did not end by itself within the bound (it is then
    // killed) or ended by a signal.
    int Wait(std::chrono::seconds bound = std::chrono::seconds(60));

    std::string Out() const { return stdout_.Contents(); }
    std::string Err() const { return stderr_.Contents(); }

private:
    TemporaryFile stdin_, stdout_, stderr_;
    pid_t pid_ = -1;
    bool finished_ = false;
};

// The tool, mavozarp.
class ToolProcess : public ChildProcess {
public:
    explicit ToolProcess(const std::vector<std::string> &arguments, const std::string &input = "",
                         const EnvironmentChanges &environment = {})
        : ChildProcess(MAVOZARP_TOOL_PATH, arguments, input, environment) {}
};

struct ToolRun {
    int exit;
    std::string out;
    std::string err;
};

ToolRun Tool(const std::vector<std::string> &arguments, const std::string &input = "",
             const EnvironmentChanges &environment = {});

std::vector<std::string> Lines(const std::string &text);
std::vector<std::string> Split(const std::string &text, char separator);
bool Contains(const std::string &text, const std::string &piece);

// Just enough JSON to check documents: strict about the grammar, so a document a script could not
// parse fails the test.
struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    double number = 0.0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    const JsonValue &operator[](const std::string &key) const;
    bool Has(const std::string &key) const { return members.contains(key); }
};

// Throws std::runtime_error naming the place of the first mistake.
JsonValue ParseJson(const std::string &text);

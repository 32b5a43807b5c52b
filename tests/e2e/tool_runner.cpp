#include "tool_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace {

constexpr char kAdapterSuppliesVariable[] = "MAVOFTCI2C_EMULATED_SUPPLIES";

}  // namespace

TemporaryFile::TemporaryFile() {
    char pattern[] = "/tmp/mavozarp-tool-test-XXXXXX";
    fd_ = mkstemp(pattern);
    if (fd_ < 0) throw std::runtime_error("mkstemp failed");
    path_ = pattern;
}

TemporaryFile::~TemporaryFile() {
    close(fd_);
    unlink(path_.c_str());
}

std::string TemporaryFile::Contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void TemporaryFile::Write(const std::string &text) const {
    std::ofstream(path_, std::ios::binary) << text;
}

EnvironmentChanges AdapterSupplies(const std::string &supplies) {
    return {{kAdapterSuppliesVariable, supplies}, {"LD_LIBRARY_PATH", EMULATED_ADAPTER_DIR}};
}

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &arguments,
                           const std::string &input, const EnvironmentChanges &environment) {
    stdin_.Write(input);
    // Everything the child needs is made before it starts: tests run emulator threads, and a
    // forked copy of a threaded process may do little but exec.
    // Adapter supplies a developer has configured for their own use never reach a test's child.
    std::vector<std::string> variables;
    for (char **variable = environ; *variable != nullptr; ++variable) {
        const std::string text = *variable;
        const std::string name = text.substr(0, text.find('='));
        if (!environment.contains(name) && name != kAdapterSuppliesVariable)
            variables.push_back(text);
    }
    for (const auto &[name, value] : environment) variables.push_back(name + "=" + value);
    std::vector<char *> envp;
    for (std::string &variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdin_.Path().c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdout_.Path().c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_.Path().c_str(), O_WRONLY | O_TRUNC, 0);
    const int failed =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + program);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !finished_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void ChildProcess::Signal(int number) const { kill(pid_, number); }

int ChildProcess::Wait(std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            finished_ = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    finished_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ToolRun Tool(const std::vector<std::string> &arguments, const std::string &input,
             const EnvironmentChanges &environment) {
    ToolProcess process(arguments, input, environment);
    const int exit = process.Wait();
    return {exit, process.Out(), process.Err()};
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Split(const std::string &text, char separator) {
    std::vector<std::string> fields;
    std::istringstream in(text);
    for (std::string field; std::getline(in, field, separator);) fields.push_back(field);
    if (!text.empty() && text.back() == separator) fields.emplace_back();
    return fields;
}

bool Contains(const std::string &text, const std::string &piece) {
    return text.find(piece) != std::string::npos;
}

const JsonValue &JsonValue::operator[](const std::string &key) const {
    static const JsonValue missing;
    const auto it = members.find(key);
    return it == members.end() ? missing : it->second;
}

namespace {

class JsonParser {
public:
    explicit JsonParser(const std::string &text) : text_(text) {}

    JsonValue Document() {
        JsonValue value = Value();
        SkipBlanks();
        if (at_ != text_.size()) Fail("text after the document");
        return value;
    }

private:
    [[noreturn]] void Fail(const std::string &why) const {
        throw std::runtime_error("bad JSON at " + std::to_string(at_) + ": " + why);
    }
    void SkipBlanks() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    }
    void Expect(char c) {
        SkipBlanks();
        if (at_ >= text_.size() || text_[at_] != c) Fail(std::string("expected ") + c);
        ++at_;
    }
    bool Peek(char c) {
        SkipBlanks();
        return at_ < text_.size() && text_[at_] == c;
    }
    bool Literal(const std::string &word) {
        if (text_.compare(at_, word.size(), word) != 0) return false;
        at_ += word.size();
        return true;
    }
    std::string String() {
        Expect('"');
        std::string result;
        while (at_ < text_.size() && text_[at_] != '"') {
            const char c = text_[at_++];
            if (static_cast<unsigned char>(c) < 0x20) Fail("control character in a string");
            if (c != '\\') {
                result += c;
                continue;
            }
            if (at_ >= text_.size()) Fail("open escape");
            const char escaped = text_[at_++];
            const std::string simple = "\"\\/bfnrt";
            const std::string meant = "\"\\/\b\f\n\r\t";
            if (const size_t i = simple.find(escaped); i != std::string::npos) {
                result += meant[i];
            } else if (escaped == 'u' && at_ + 4 <= text_.size()) {
                result += static_cast<char>(std::stoi(text_.substr(at_, 4), nullptr, 16));
                at_ += 4;
            } else {
                Fail("bad escape");
            }
        }
        Expect('"');
        return result;
    }
    JsonValue Value() {
        SkipBlanks();
        JsonValue value;
        if (Peek('{')) {
            value.kind = JsonValue::Kind::Object;
            Expect('{');
            for (bool first = true; !Peek('}'); first = false) {
                if (!first) Expect(',');
                std::string key = String();
                Expect(':');
                value.members[key] = Value();
            }
            Expect('}');
        } else if (Peek('[')) {
            value.kind = JsonValue::Kind::Array;
            Expect('[');
            for (bool first = true; !Peek(']'); first = false) {
                if (!first) Expect(',');
                value.items.push_back(Value());
            }
            Expect(']');
        } else if (Peek('"')) {
            value.kind = JsonValue::Kind::String;
            value.text = String();
        } else if (Literal("null")) {
        } else if (Literal("true")) {
            value.kind = JsonValue::Kind::Bool;
            value.boolean = true;
        } else if (Literal("false")) {
            value.kind = JsonValue::Kind::Bool;
        } else {
            const size_t start = at_;
            while (at_ < text_.size() &&
                   std::string("+-0123456789.eE").find(text_[at_]) != std::string::npos)
                ++at_;
            if (start == at_) Fail("unexpected character");
            value.kind = JsonValue::Kind::Number;
            value.number = std::stod(text_.substr(start, at_ - start));
        }
        return value;
    }

    const std::string &text_;
    size_t at_ = 0;
};

}  // namespace

JsonValue ParseJson(const std::string &text) { return JsonParser(text).Document(); }

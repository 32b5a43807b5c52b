#include "harness.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <set>

namespace e2e {

namespace {

// Thrown to leave a case early; caught by the runner only.
struct CaseSkipped {
    std::string reason;
};
struct CaseAborted {};

struct Run {
    std::vector<std::string> contexts;
    std::vector<std::string> failures;  // of the running case, printed when it ends
    std::set<std::string> observed;
    std::ofstream record;
    std::map<std::string, std::string> reference;  // label -> quoted value
    bool comparing = false;
};

Run &State() {
    static Run run;
    return run;
}

std::string Location(const char *file, int line) {
    const std::string_view path(file);
    const size_t slash = path.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1)) + ":" +
           std::to_string(line);
}

bool LoadReference(const std::string &path, std::map<std::string, std::string> &reference) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos) reference[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return true;
}

enum class Outcome { Passed, Failed, Skipped };

Outcome RunOne(const TestCase &test) {
    Run &run = State();
    run.failures.clear();
    run.contexts.clear();
    std::printf("[ RUN  ] %s\n", test.name);
    std::fflush(stdout);
    std::string skipped;
    try {
        test.run();
    } catch (const CaseSkipped &skip) {
        skipped = skip.reason;
    } catch (const CaseAborted &) {
    } catch (const std::exception &error) {
        run.failures.push_back(std::string("unexpected exception: ") + error.what());
    } catch (...) {
        run.failures.push_back("unexpected exception");
    }
    for (const std::string &failure : run.failures) std::printf("  %s\n", failure.c_str());
    Outcome outcome = Outcome::Passed;
    if (!run.failures.empty()) {
        std::printf("[ FAIL ] %s\n", test.name);
        outcome = Outcome::Failed;
    } else if (!skipped.empty()) {
        std::printf("[ SKIP ] %s: %s\n", test.name, skipped.c_str());
        outcome = Outcome::Skipped;
    } else {
        std::printf("[  OK  ] %s\n", test.name);
    }
    std::fflush(stdout);
    return outcome;
}

}  // namespace

void Skip(std::string_view reason) { throw CaseSkipped{std::string(reason)}; }

void Fail(const char *file, int line, std::string_view message) {
    Run &run = State();
    std::string text = Location(file, line) + ": ";
    for (const std::string &context : run.contexts) text += "[" + context + "] ";
    run.failures.push_back(text + std::string(message));
}

void Abort(const char *file, int line, std::string_view message) {
    Fail(file, line, message);
    throw CaseAborted{};
}

Context::Context(std::string description) { State().contexts.push_back(std::move(description)); }

Context::~Context() { State().contexts.pop_back(); }

std::string Quoted(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            quoted += "\\r";
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

void Observe(std::string_view label, std::string_view value) {
    Run &run = State();
    const std::string key(label);
    const std::string quoted = Quoted(value);
    if (!run.observed.insert(key).second) {
        Fail(__FILE__, __LINE__, "observation made twice: " + key);
        return;
    }
    if (run.record.is_open()) run.record << key << '\t' << quoted << '\n';
    if (!run.comparing) return;
    const auto reference = run.reference.find(key);
    if (reference == run.reference.end()) {
        Fail(__FILE__, __LINE__, key + " = " + quoted + ", not observed by the reference run");
    } else if (reference->second != quoted) {
        Fail(__FILE__, __LINE__,
             key + " = " + quoted + ", the reference run has " + reference->second);
    }
}

int RunCases(std::span<const TestCase> cases, const RunSettings &settings) {
    Run &run = State();
    if (!settings.recordTo.empty()) {
        run.record.open(settings.recordTo, std::ios::trunc);
        if (!run.record) std::printf("cannot write %s\n", settings.recordTo.c_str());
    }
    if (!settings.compareWith.empty()) {
        run.comparing = LoadReference(settings.compareWith, run.reference);
        if (!run.comparing) std::printf("cannot read %s\n", settings.compareWith.c_str());
    }
    int passed = 0, failed = 0, skipped = 0;
    if (!settings.recordTo.empty() && !run.record) ++failed;
    if (!settings.compareWith.empty() && !run.comparing) ++failed;
    for (const TestCase &test : cases) {
        if (!settings.only.empty() &&
            std::find(settings.only.begin(), settings.only.end(), test.name) ==
                settings.only.end()) {
            continue;
        }
        switch (RunOne(test)) {
            case Outcome::Passed: ++passed; break;
            case Outcome::Failed: ++failed; break;
            case Outcome::Skipped: ++skipped; break;
        }
    }
    // What the reference system answered and this one never did: a case that ran there only.
    if (run.comparing && settings.only.empty()) {
        int missing = 0;
        for (const auto &[label, value] : run.reference) {
            if (run.observed.count(label) == 0) {
                std::printf("  not observed here: %s = %s\n", label.c_str(), value.c_str());
                ++missing;
            }
        }
        if (missing > 0) {
            std::printf("[ FAIL ] the observations of the reference run\n");
            ++failed;
        }
    }
    std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}

}  // namespace e2e

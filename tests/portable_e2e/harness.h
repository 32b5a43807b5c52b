// A small test runner, the same on every system the suite runs on (GoogleTest is not built for
// the Windows cross compilers here). A case is a plain function; its checks record failures and
// go on, so one run shows every difference. The run ends with the line
// "N passed, N failed, N skipped".
//
// Observations are replies that must read the same on every system: one run records them to a
// file, a run on another system compares its own with that file.
#pragma once

#include <concepts>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

struct TestCase {
    const char *name;
    void (*run)();
};

// Ends the running case as skipped, with the reason shown.
[[noreturn]] void Skip(std::string_view reason);

// Records a failure of the running case, which goes on.
void Fail(const char *file, int line, std::string_view message);

// Records a failure and ends the running case: what follows depends on what failed.
[[noreturn]] void Abort(const char *file, int line, std::string_view message);

// Says what the checks inside its scope are about ("bridge COM5, ?TMAIN"); shown with failures.
class Context {
public:
    explicit Context(std::string description);
    ~Context();
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
};

// A text as a C string literal: quotes, with CR, LF and other control bytes escaped.
std::string Quoted(std::string_view text);

inline std::string Describe(std::string_view text) { return Quoted(text); }
inline std::string Describe(const char *text) { return Quoted(text); }
inline std::string Describe(const std::string &text) { return Quoted(text); }
template <std::integral Number>
std::string Describe(Number value) {
    return std::to_string(value);
}

template <class Actual, class Expected>
void CheckEqual(const Actual &actual, const Expected &expected, const char *what, const char *file,
                int line) {
    if (!(actual == expected)) {
        Fail(file, line, std::string(what) + " is " + Describe(actual) + ", expected " +
                             Describe(expected));
    }
}

// A reply that every system must give alike, under a label unique within the run.
void Observe(std::string_view label, std::string_view value);

struct RunSettings {
    std::vector<std::string> only;  // names of the cases to run; empty: all
    std::string recordTo;           // file the observations are written to; empty: none
    std::string compareWith;        // file of a reference run's observations; empty: none
};

// Runs the cases in order and prints the closing line. 0 when none failed.
int RunCases(std::span<const TestCase> cases, const RunSettings &settings);

}  // namespace e2e

#define E2E_CHECK(condition) \
    ((condition) ? void() : ::e2e::Fail(__FILE__, __LINE__, "failed: " #condition))
#define E2E_REQUIRE(condition) \
    ((condition) ? void() : ::e2e::Abort(__FILE__, __LINE__, "failed: " #condition))
#define E2E_CHECK_EQ(actual, expected) \
    ::e2e::CheckEqual((actual), (expected), #actual, __FILE__, __LINE__)

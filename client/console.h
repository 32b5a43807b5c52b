// The few things the tool needs from the operating system's console handling.
#pragma once

#include <string>
#include <string_view>

// While alive, the process's standard output goes to the null device. The library writes two
// diagnostic lines to standard output whenever it creates a head; the tool's own output (a table,
// a JSON document) must not be mixed with them. Pending output is flushed on both sides of the
// switch. If the switch is not possible (no standard output), nothing changes.
class StdoutSilencer {
public:
    StdoutSilencer();
    ~StdoutSilencer();
    StdoutSilencer(const StdoutSilencer &) = delete;
    StdoutSilencer &operator=(const StdoutSilencer &) = delete;

private:
    int savedStdout_ = -1;
};

// The service's way, for many threads: the process's standard output is taken once, at start, by
// a pipe whose lines (the library's diagnostics) a thread of its own writes to standard error,
// each after `prefix`. No descriptor is swapped after that: IdentifyHead no longer silences, and
// the program's own output goes to the standard output it had, through WriteToStandardOutput.
// False (and nothing changed) when the pipe cannot be made.
bool CaptureStandardOutput(std::string prefix);
bool StandardOutputCaptured();
// To the process's standard output, captured or not; written at once.
void WriteToStandardOutput(std::string_view text);

bool StandardInputIsTerminal();

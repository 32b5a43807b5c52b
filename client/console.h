// The few things the tool needs from the operating system's console handling.
#pragma once

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

bool StandardInputIsTerminal();

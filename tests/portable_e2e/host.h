// What differs between the hosts of the suite, one file per system (host_posix.cpp,
// host_win32.cpp): how the library under test and the emulated adapter library are reached, and
// how the process's standard output is caught. Everything else is shared.
#pragma once

#include <span>
#include <string>

namespace e2e {

// An export of the library under test: its name and its ordinal in the Windows export table.
struct ExportName {
    const char *name;
    unsigned ordinal;
};

// Loads the library under test the way a host of this system does and finds each export,
// writing its address into `addresses` (same order as `exports`). On Windows: MavoZARP.dll from
// beside the host, each export found by name and by ordinal, the two addresses equal. On Linux:
// libMavoZARP.so.2 (its soname) through the library search path. False with `problem` said
// otherwise.
bool LoadLibraryUnderTest(std::span<const ExportName> exports, std::span<void *> addresses,
                          std::string &problem);

// An entry point (test control) of the emulated adapter library, loaded under the same plain
// name the library loads it by, so both reach the same module. Null when the library or the
// entry point is not there.
void *EmulatedAdapterEntryPoint(const char *name);

// Points the process's standard output (descriptor 1, which the C library's stdout and the
// library under test write to) at a new file. Returns a descriptor keeping the previous output,
// or -1 when the file cannot be made.
int RedirectStandardOutput(const char *path);
// Puts the previous output back.
void RestoreStandardOutput(int saved);

}  // namespace e2e

// A host whose process ends while another of its threads is inside an export: nothing the library
// keeps for the whole process may be destroyed under that thread. The host is a program of its
// own, since the order of the exit's work depends on when the library was loaded; the sanitizer
// builds see any touch of freed memory.
#include <gtest/gtest.h>

#include "tool_runner.h"

namespace {

TEST(ExitDuringExport, TheProcessEndsWhileAnotherThreadGoesOnCallingEveryKindOfDevice) {
    EnvironmentChanges environment = AdapterSupplies("picox-640,kora-band1");
    // Freed memory is what this looks for, not leaks: the leak check's pass over every thread
    // trips over the thread-local data of a library loaded with dlopen (a fault of the sanitizer
    // with this C library), which ends the host in a sanitizer failure of its own.
    environment["ASAN_OPTIONS"] = "detect_leaks=0";
    ChildProcess host(EXIT_DURING_EXPORT_PATH, {MAVOZARP_LIBRARY_PATH}, "", environment);
    EXPECT_EQ(host.Wait(), 0) << host.Err();
    EXPECT_EQ(host.Err(), "");
}

}  // namespace

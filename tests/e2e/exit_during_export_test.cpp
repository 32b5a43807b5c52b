// A host whose process ends while another of its threads is inside an export: nothing the library
// keeps for the whole process may be destroyed under that thread. The host is a program of its
// own, since the order of the exit's work depends on when the library was loaded; the sanitizer
// builds see any touch of freed memory.
#include <gtest/gtest.h>

#include "tool_runner.h"

namespace {

TEST(ExitDuringExport, TheProcessEndsWhileAnotherThreadGoesOnCallingEveryKindOfDevice) {
    ChildProcess host(EXIT_DURING_EXPORT_PATH, {MAVOZARP_LIBRARY_PATH}, "",
                      AdapterSupplies("picox-640,kora-band1"));
    EXPECT_EQ(host.Wait(), 0) << host.Err();
    EXPECT_EQ(host.Err(), "");
}

}  // namespace

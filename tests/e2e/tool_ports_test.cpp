// Serial ports as a new user meets them: each reason a port cannot be used gets its own one-line
// message and exit status 1, and `ports --probe` tells which supply answers without touching a
// port someone else holds.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bus/head_presets.h"
#include "bus/virtual_supply.h"
#include "serial/bridge_emulator.h"
#include "serial/text_supply_emulator.h"
#include "support/pty.h"
#include "tool_runner.h"

namespace {

void ExpectPortFailure(const ToolRun &run, const std::string &port, const std::string &reason) {
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_TRUE(run.err.starts_with("mavozarp: cannot open a supply on " + port + ": " + reason))
        << run.err;
}

TEST(ToolPorts, EachReasonAPortCannotBeUsedHasItsOwnMessage) {
    ExpectPortFailure(Tool({"send", "--port", "/nonexistent/ttyMAVO", "?P"}),
                      "/nonexistent/ttyMAVO", "no such device (-300)");
    const ToolRun listed = Tool({"ports", "/nonexistent/ttyMAVO"});
    EXPECT_EQ(listed.exit, 1);
    EXPECT_EQ(listed.err, "mavozarp: cannot use /nonexistent/ttyMAVO: no such device\n");
    EXPECT_EQ(listed.out, "");  // no row for a port that is not there

    const TemporaryFile regular;
    ExpectPortFailure(Tool({"status", "--port", regular.Path()}), regular.Path(),
                      "not a serial device: a regular file (-300)");
    ExpectPortFailure(Tool({"send", "--port", "/dev/null", "?P"}), "/dev/null",
                      "not a serial device: a character device that is not a terminal (-300)");

    // Held: this process takes the lock a host takes on the port it opens.
    PseudoTerminal held;
    const int holder = open(held.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    ExpectPortFailure(Tool({"send", "--port", held.SlavePath(), "?P"}), held.SlavePath(),
                      "held by another process: test_e2e (pid " + std::to_string(getpid()) +
                          ")");
    close(holder);

    // A line nobody answers on is usable; the library's own message stays.
    ExpectPortFailure(Tool({"send", "--port", held.SlavePath(), "?P"}), held.SlavePath(),
                      "-300 serial port error");
}

TEST(ToolPorts, APortTheUserMayNotUseNamesTheFix) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
    const PseudoTerminal line;
    const std::string &port = line.SlavePath();
    // The tool and the library copied where any user may run them: the build folder may be
    // closed to others (a checkout in /root).
    char pattern[] = "/tmp/mavozarp-nobody-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path folder = pattern;
    const std::unique_ptr<const char, void (*)(const char *)> removal(
        pattern, [](const char *path) { std::filesystem::remove_all(path); });
    std::filesystem::permissions(folder, std::filesystem::perms(0755));
    for (const char *file : {MAVOZARP_TOOL_PATH, MAVOZARP_LIBRARY_PATH}) {
        std::filesystem::copy_file(file, folder / std::filesystem::path(file).filename());
    }
    const auto asNobody = [&](const std::vector<std::string> &arguments) {
        std::vector<std::string> command{"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                         "--", (folder / "mavozarp").string()};
        command.insert(command.end(), arguments.begin(), arguments.end());
        ChildProcess tool("/usr/bin/setpriv", command, "",
                          {{"LD_LIBRARY_PATH", folder.string()}});
        const int exit = tool.Wait();
        return ToolRun{exit, tool.Out(), tool.Err()};
    };
    ASSERT_EQ(chown(port.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(port.c_str(), 0600), 0);
    ExpectPortFailure(asNobody({"send", "--port", port, "?P"}), port,
                      "permission denied: only its owner root may use " + port + " (mode 0600");
    ASSERT_EQ(chmod(port.c_str(), 0660), 0);
    ExpectPortFailure(asNobody({"status", "--port", port}), port,
                      "permission denied: " + port +
                          " belongs to group root; join it (sudo usermod -aG root $USER)");
}

TEST(ToolPorts, ProbeTellsTheSupplyOnEachPortAndLeavesAHeldOneAlone) {
    sim::BridgeEmulator bridge;
    bridge.WithBus([](sim::I2cBus &bus) {
        sim::VirtualSupply parts(bus);
        sim::FindHeadPreset("vfk")->apply(parts);
    });
    sim::TextSupplyEmulator text;
    text.SetAnswer(sim::TextSupplyEmulator::kHeadTypeRequest, "Kora");
    PseudoTerminal silent;
    PseudoTerminal garbage;
    garbage.Send(std::string(200, '\xA5'));
    PseudoTerminal held;
    const int holder = open(held.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    const ToolRun run =
        Tool({"ports", "--probe", "--json", bridge.Line().Path(), text.Line().Path(),
              silent.SlavePath(), garbage.SlavePath(), held.SlavePath()});
    close(holder);
    EXPECT_EQ(run.exit, 1) << run.err;  // named ports without a supply
    const JsonValue ports = ParseJson(run.out)["ports"];
    ASSERT_EQ(ports.items.size(), 5u) << run.out;
    const auto probe = [&](size_t index) { return ports.items[index]["probe"]; };
    EXPECT_EQ(probe(0)["outcome"].text, "supply");
    EXPECT_EQ(probe(0)["kind"].text, "bridge");
    EXPECT_EQ(probe(0)["head_type"].text, "VFK");
    EXPECT_EQ(probe(1)["kind"].text, "text");
    EXPECT_EQ(probe(1)["head_type"].text, "Kora");
    for (const size_t quiet : {2, 3}) {
        EXPECT_EQ(probe(quiet)["outcome"].text, "no-supply");
        EXPECT_TRUE(Contains(probe(quiet)["message"].text, "no supply answers: -300"));
    }
    EXPECT_EQ(probe(4)["outcome"].text, "unusable");
    EXPECT_TRUE(Contains(probe(4)["message"].text, "held by another process"));
    // The held port was never opened: nothing was written to it.
    EXPECT_TRUE(held.Receive(1, std::chrono::milliseconds(50)).empty());
}

}  // namespace

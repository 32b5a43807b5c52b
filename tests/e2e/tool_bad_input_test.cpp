// Bad input as the tool meets it from devices: a port that does not exist or holds no supply, an
// adapter supply that is not there, a command the head refuses, a supply that goes silent or
// away in the middle of a watch. Each ends in one line on standard error naming what went wrong
// and the status code, a non-zero exit status, nothing half-written on standard output, and
// never a hang. (Mistakes in the command line itself are in tool_test.cpp.)
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bus/head_presets.h"
#include "bus/virtual_supply.h"
#include "serial/bridge_emulator.h"
#include "support/pty.h"
#include "tool_runner.h"

namespace {

using namespace std::chrono_literals;

// One line, from the tool, naming `what`.
void ExpectOneLineFailure(const ToolRun &run, const std::string &what) {
    EXPECT_EQ(run.exit, 1);
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_TRUE(run.err.starts_with("mavozarp: ")) << run.err;
    EXPECT_TRUE(Contains(run.err, what)) << run.err;
}

// A bridge supply on a pseudo-terminal, its head built from the preset.
std::unique_ptr<sim::BridgeEmulator> BridgeWith(const std::string &preset) {
    auto bridge = std::make_unique<sim::BridgeEmulator>();
    bridge->WithBus([&](sim::I2cBus &bus) {
        sim::VirtualSupply parts(bus);
        sim::FindHeadPreset(preset)->apply(parts);
    });
    return bridge;
}

TEST(ToolBadInput, APortThatHoldsNoSupply) {
    // A path that is no port at all has messages of its own (tool_ports_test.cpp).
    PseudoTerminal nobody;  // a line nobody answers on
    const std::string &port = nobody.SlavePath();
    for (const std::vector<std::string> &arguments :
         {std::vector<std::string>{"send", "--port", port, "?P"},
          std::vector<std::string>{"status", "--port", port, "--json"},
          std::vector<std::string>{"watch", "--port", port, "--count", "1", "?P"},
          std::vector<std::string>{"shell", "--port", port}}) {
        const ToolRun run = Tool(arguments, "?P\n");
        ExpectOneLineFailure(run, "cannot open a supply on " + port + ": -300 serial port error");
        EXPECT_EQ(run.out, "");
    }
}

TEST(ToolBadInput, AnAdapterSupplyThatIsNotThere) {
    // Without the adapter library nothing can be found.
    const ToolRun noLibrary =
        Tool({"scan"}, "",
             {{"LD_LIBRARY_PATH", "/nonexistent"}, {"MAVOFTCI2C_EMULATED_SUPPLIES", "vfk"}});
    ExpectOneLineFailure(noLibrary,
                         "discovery on the adapters failed: -100 adapter library not loaded");
    EXPECT_EQ(noLibrary.out, "");

    const ToolRun beyond = Tool({"send", "--adapter", "3", "?P"}, "", AdapterSupplies("vfk"));
    ExpectOneLineFailure(beyond, "no supply at adapter index 3: 1 found");

    const ToolRun noHead = Tool({"status", "--adapter", "0"}, "", AdapterSupplies("blank-memory"));
    ExpectOneLineFailure(noHead, "cannot identify the head of --adapter 0: -2 invalid head");
    EXPECT_EQ(noHead.out, "");
}

TEST(ToolBadInput, ACommandTheHeadRefuses) {
    const std::unique_ptr<sim::BridgeEmulator> pico = BridgeWith("pico00");
    const std::string port = pico->Line().Path();

    // No THG stage on a Pico00, and no shutter to command: the commands before are answered.
    const ToolRun stage = Tool({"send", "--port", port, "?HTYPE", "?TTHG", "?P"});
    ExpectOneLineFailure(stage,
                         "?TTHG: -3 invalid command: not understood or not supported by "
                         "this head; not sent: ?P");
    EXPECT_EQ(Lines(stage.out), std::vector<std::string>{"?HTYPE  ->  Pico00"});
    ExpectOneLineFailure(Tool({"send", "--port", port, "SHCMD=1"}), "SHCMD=1: -3 invalid command");

    // A value the head does not take, the same through an adapter.
    const ToolRun tooMuch =
        Tool({"send", "--adapter", "0", "PCMD=99999"}, "", AdapterSupplies("kora-band3"));
    ExpectOneLineFailure(tooMuch,
                         "PCMD=99999: -4 invalid data: argument unreadable or out of range");
    EXPECT_EQ(tooMuch.out, "");

    // In the shell, each refused line is told and the next is taken.
    const ToolRun shell = Tool({"shell", "--port", port}, "?TTHG\n?HTYPE\n");
    EXPECT_EQ(shell.exit, 1);
    EXPECT_EQ(shell.out, "Pico00\n");
    EXPECT_EQ(shell.err,
              "error: -3 invalid command: not understood or not supported by this head\n");
}

// Waits until the watch has written `lines` lines in all; false after a bound that only keeps a
// broken tool from hanging the test.
bool AwaitLines(const ToolProcess &watch, size_t lines) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (Lines(watch.Out()).size() < lines) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

TEST(ToolBadInput, ASupplyThatGoesSilentMidWatchIsToldOnceAndWatchedUntilItAnswersAgain) {
    const std::unique_ptr<sim::BridgeEmulator> bridge = BridgeWith("kora-band3");
    ToolProcess watch(
        {"watch", "--port", bridge->Line().Path(), "--interval", "0.02", "?HTYPE", "?C"});
    ASSERT_TRUE(AwaitLines(watch, 3));  // the header and two samples

    bridge->Line().SetSilent(true);
    const auto errorRows = [&] {
        size_t rows = 0;
        for (const std::string &line : Lines(watch.Out())) rows += Contains(line, "error -300");
        return rows;
    };
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (errorRows() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_GE(errorRows(), 2u) << watch.Out();

    bridge->Line().SetSilent(false);
    const size_t linesBefore = Lines(watch.Out()).size();
    ASSERT_TRUE(AwaitLines(watch, linesBefore + 2));
    watch.Signal(SIGINT);
    EXPECT_EQ(watch.Wait(), 1);

    // Every sample is a line of its own, each reading answered or failed in its place.
    const std::vector<std::string> lines = Lines(watch.Out());
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(Contains(lines[i], "Kora") || Contains(lines[i], "error -300")) << lines[i];
    }
    EXPECT_TRUE(Contains(lines.back(), "Kora") && !Contains(lines.back(), "error"))
        << "the supply answers again: " << lines.back();
    // One line tells it, though both commands failed at every silent sample. It names the first
    // command that failed: the silence may begin between the two commands of a sample.
    const std::vector<std::string> told = Lines(watch.Err());
    ASSERT_EQ(told.size(), 1u) << watch.Err();
    const std::string failure = ": -300 serial port error: serial port failure, no supply "
                                "recognised on the port, or no answer";
    EXPECT_TRUE(told[0] == "mavozarp: ?HTYPE" + failure || told[0] == "mavozarp: ?C" + failure)
        << told[0];
}

TEST(ToolBadInput, ASupplyThatGoesAwayMidWatchEndsItWhenCountedOut) {
    std::unique_ptr<sim::BridgeEmulator> bridge = BridgeWith("vfk");
    ToolProcess watch({"watch", "--port", bridge->Line().Path(), "--interval", "0.05", "--count",
                       "40", "--csv", "?P"});
    ASSERT_TRUE(AwaitLines(watch, 3));
    bridge.reset();  // unplugged: the line hangs up

    EXPECT_EQ(watch.Wait(), 1);
    const std::vector<std::string> lines = Lines(watch.Out());
    EXPECT_EQ(lines.size(), 41u);
    EXPECT_TRUE(lines.back().ends_with(",")) << "an empty field: no reading";
    ASSERT_EQ(Lines(watch.Err()).size(), 1u) << watch.Err();
    EXPECT_TRUE(Contains(watch.Err(), "mavozarp: ?P: -300 serial port error")) << watch.Err();
}

}  // namespace

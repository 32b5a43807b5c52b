// Supplies on serial ports through the exported functions: the bridge and text-supply emulators
// serve real pseudo-terminals, found and commanded by the library as a host would.
#include <gtest/gtest.h>


#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MavoZARP.h"
#include "serial/bridge_emulator.h"
#include "serial/pty_endpoint.h"
#include "serial/text_supply_emulator.h"
#include "support/pty.h"
#include "support/descriptors.h"

namespace {

using namespace std::chrono_literals;

struct Answer {
    int32_t status;
    std::string reply;
};

Answer Send(MavoZARP_Handle device, const char *command) {
    char reply[MAVOZARP_BUFFER_SIZE] = "stale";
    const int32_t status = MavoZARP_SendCommand(device, command, reply);
    return {status, reply};
}

MavoZARP_Handle Open(const std::string &path, int32_t expected = MAVOZARP_STATUS_SUCCESS) {
    MavoZARP_Handle device = 0;
    EXPECT_EQ(MavoZARP_OpenSerialPort(path.c_str(), &device), expected) << path;
    return device;
}

size_t Count(const std::vector<uint8_t> &bytes, const std::string &piece) {
    size_t found = 0;
    const std::string text(bytes.begin(), bytes.end());
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++found;
    }
    return found;
}

TEST(SerialSupplies, ABridgeIsFoundByItsProbeAndFiledWithoutTheTypeProbe) {
    sim::BridgeEmulator bridge;
    const MavoZARP_Handle device = Open(bridge.Line().Path());
    EXPECT_GE(device, 3);
    const std::vector<uint8_t> received = bridge.Line().Received();
    ASSERT_GE(received.size(), 2u);
    EXPECT_EQ(received[0], 0x52);
    EXPECT_EQ(received[1], 0x00);
    EXPECT_EQ(Count(received, "SYST:INF:TYPE?"), 0u);

    // No head yet: commands answer "Invalid head"; the port is held, so a second open fails.
    EXPECT_EQ(Send(device, "?P").status, MAVOZARP_STATUS_INVALID_HEAD);
    Open(bridge.Line().Path(), MAVOZARP_STATUS_SERIAL_ERROR);

    EXPECT_EQ(MavoZARP_Close(device), MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(Send(device, "?P").status, MAVOZARP_STATUS_UNKNOWN_HANDLE);
    EXPECT_EQ(MavoZARP_Close(device), MAVOZARP_STATUS_UNKNOWN_HANDLE);
}

TEST(SerialSupplies, ATextSupplyIsFoundAfterThreeBridgeProbesAndCommandsPassThrough) {
    sim::TextSupplyEmulator supply;
    supply.SetAnswer(sim::TextSupplyEmulator::kIdentificationRequest, "KT-2000 rev B");
    supply.SetValue("P", "1.234");
    const MavoZARP_Handle device = Open(supply.Line().Path());
    const std::vector<uint8_t> received = supply.Line().Received();
    EXPECT_EQ(Count(received, std::string("\x52\x00", 2)), 3u);
    // The bridge probes are noise to a text supply, so its first identification may fail.
    EXPECT_GE(Count(received, "SYST:INF:TYPE?\r"), 1u);

    supply.Line().ClearReceived();
    const Answer reading = Send(device, "?P");
    EXPECT_EQ(reading.status, MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(reading.reply, "1.234\r\n");  // the supply's own line end, nothing added
    ASSERT_TRUE(supply.Line().WaitForReceived(3, 1s));
    const std::vector<uint8_t> command = supply.Line().Received();
    EXPECT_EQ(std::string(command.begin(), command.end()), "?P\r");

    // Commands of any length pass unchanged; the supply's "ERR" is "Invalid command" and stays.
    const Answer refused = Send(device, "?NOSUCH");
    EXPECT_EQ(refused.status, MAVOZARP_STATUS_INVALID_COMMAND);
    EXPECT_EQ(refused.reply, "ERR\r\n");

    // The answer and its terminator reach the host's buffer, nothing after them.
    char headType[MAVOZARP_BUFFER_SIZE];
    std::memset(headType, 'X', sizeof headType);
    EXPECT_EQ(MavoZARP_InitializeHandle(device, headType), MAVOZARP_STATUS_SUCCESS);
    EXPECT_STREQ(headType, "Kora\r\n");
    const std::string rest(headType + 7, headType + sizeof headType);
    EXPECT_EQ(rest, std::string(rest.size(), 'X'));

    EXPECT_EQ(MavoZARP_Close(device), MAVOZARP_STATUS_SUCCESS);
}

TEST(SerialSupplies, ATextSupplyThatStopsAnsweringGives300AndLongAnswersAreCut) {
    sim::TextSupplyEmulator supply;
    const MavoZARP_Handle device = Open(supply.Line().Path());
    const std::string longAnswer(150, 'x');
    supply.SetAnswer("?LONG", longAnswer);
    const Answer cut = Send(device, "?LONG");
    EXPECT_EQ(cut.status, MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(cut.reply, longAnswer.substr(0, 99));
    // The rest of the long answer is dropped by the next command's flush.
    supply.SetValue("P", "2.000");
    EXPECT_EQ(Send(device, "?P").reply, "2.000\r\n");

    supply.Line().SetSilent(true);
    const Answer silent = Send(device, "?P");
    EXPECT_EQ(silent.status, MAVOZARP_STATUS_SERIAL_ERROR);
    EXPECT_EQ(silent.reply, "\r\n");
    char headType[MAVOZARP_BUFFER_SIZE] = "before";
    EXPECT_EQ(MavoZARP_InitializeHandle(device, headType), MAVOZARP_STATUS_OTHER_ERROR);
    EXPECT_STREQ(headType, "before");
    EXPECT_EQ(MavoZARP_Close(device), MAVOZARP_STATUS_SUCCESS);
}

TEST(SerialSupplies, AnAnswerThatComesAfterItsTimeOutIsNotTakenForTheNextOne) {
    sim::TextSupplyEmulator supply;
    supply.SetValue("P", "2.500");
    const MavoZARP_Handle device = Open(supply.Line().Path());
    supply.Line().SetAnswerDelay(150ms);
    char headType[MAVOZARP_BUFFER_SIZE] = "before";
    EXPECT_EQ(MavoZARP_InitializeHandle(device, headType), MAVOZARP_STATUS_OTHER_ERROR);
    supply.Line().SetAnswerDelay(0ms);
    // The next request comes a little later, so that the late answer lands inside the 50 ms of
    // quiet the library waits for, however late a loaded machine runs the far end.
    std::this_thread::sleep_for(40ms);
    const Answer next = Send(device, "?P");
    EXPECT_EQ(next.status, MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(next.reply, "2.500\r\n");
    EXPECT_EQ(MavoZARP_Close(device), MAVOZARP_STATUS_SUCCESS);
}

TEST(SerialSupplies, UnrecognisedAnswersAndSilentOrMissingPortsGive300) {
    {
        sim::TextSupplyEmulator almost;
        almost.SetAnswer(sim::TextSupplyEmulator::kIdentificationRequest, "ZAR");
        Open(almost.Line().Path(), MAVOZARP_STATUS_SERIAL_ERROR);
        EXPECT_EQ(Count(almost.Line().Received(), "SYST:INF:TYPE?\r"), 3u);
    }
    {
        sim::TextSupplyEmulator other;
        other.SetAnswer(sim::TextSupplyEmulator::kIdentificationRequest, "KX-1");
        Open(other.Line().Path(), MAVOZARP_STATUS_SERIAL_ERROR);
    }
    {
        sim::BridgeEmulator wrongProbe;
        wrongProbe.SetProbeAnswer(0xF1);
        Open(wrongProbe.Line().Path(), MAVOZARP_STATUS_SERIAL_ERROR);
    }
    PseudoTerminal nothing;
    Open(nothing.SlavePath(), MAVOZARP_STATUS_SERIAL_ERROR);
    Open("/dev/no-such-serial-port", MAVOZARP_STATUS_SERIAL_ERROR);
}

TEST(SerialSupplies, FailedOpensLeaveNothingOpen) {
    sim::TextSupplyEmulator wrong;
    wrong.SetAnswer(sim::TextSupplyEmulator::kIdentificationRequest, "KX");
    PseudoTerminal nothing;
    const size_t before = OpenDescriptors();
    for (int i = 0; i < 100; ++i) Open("/dev/no-such-serial-port", MAVOZARP_STATUS_SERIAL_ERROR);
    for (int i = 0; i < 2; ++i) {
        Open(nothing.SlavePath(), MAVOZARP_STATUS_SERIAL_ERROR);
        Open(wrong.Line().Path(), MAVOZARP_STATUS_SERIAL_ERROR);
    }
    EXPECT_EQ(OpenDescriptors(), before);
    // The library keeps working: the port that held nothing can still be opened by another.
    EXPECT_EQ(Send(MAVOZARP_SIMULATED_HANDLE, "?HTYPE").reply, "Dummy\r\n");
}

TEST(SerialSupplies, ClosingTheMiddleBridgeKeepsTheOthersAndAFullTableRefusesTheTwentyFirst) {
    std::vector<std::unique_ptr<sim::BridgeEmulator>> bridges;
    std::vector<MavoZARP_Handle> devices;
    for (int i = 0; i < 21; ++i) bridges.push_back(std::make_unique<sim::BridgeEmulator>());
    for (int i = 0; i < 20; ++i) devices.push_back(Open(bridges[i]->Line().Path()));

    // The 21st is refused and its port is not left open, nor its number given: once there is
    // room it opens.
    EXPECT_EQ(Open(bridges[20]->Line().Path(), MAVOZARP_STATUS_SERIAL_ERROR), -1);
    EXPECT_EQ(MavoZARP_Close(devices[1]), MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(Send(devices[1], "?P").status, MAVOZARP_STATUS_UNKNOWN_HANDLE);
    const MavoZARP_Handle last = Open(bridges[20]->Line().Path());

    for (size_t i = 0; i < devices.size(); ++i) {
        if (i == 1) continue;
        EXPECT_EQ(Send(devices[i], "?P").status, MAVOZARP_STATUS_INVALID_HEAD) << i;
        EXPECT_EQ(MavoZARP_Close(devices[i]), MAVOZARP_STATUS_SUCCESS) << i;
    }
    EXPECT_EQ(MavoZARP_Close(last), MAVOZARP_STATUS_SUCCESS);
}

// A call made while OpenSerialPort waits in a probe runs when that probe lets the lock go, not
// after the whole scan. The call asks a supply of the test's own, which answers with the number
// of probe bytes the scanned port received meanwhile: none, when the call came first.
TEST(SerialSupplies, ACallMadeDuringAProbeIsServedAtTheNextRelease) {
    PseudoTerminal scanned;
    sim::PtyEndpoint witness([&](std::span<const uint8_t> piece) {
        const std::string request(piece.begin(), piece.end());
        std::string answer;
        if (request.find("SYST:INF:TYPE?") != std::string::npos) answer = "ZARP witness\r\n";
        if (request.find("?PROBES") != std::string::npos) {
            answer = std::to_string(scanned.Receive(64, 30ms).size()) + "\r\n";
        }
        return std::vector<std::vector<uint8_t>>{{answer.begin(), answer.end()}};
    });
    const MavoZARP_Handle device = Open(witness.Path());
    for (int round = 0; round < 2; ++round) {
        std::thread scan([&] { Open(scanned.SlavePath(), MAVOZARP_STATUS_SERIAL_ERROR); });
        EXPECT_EQ(scanned.Receive(2, 2s).size(), 2u);  // the first probe waits for its answer
        EXPECT_EQ(Send(device, "?PROBES").reply, "0\r\n") << round;
        scan.join();
        scanned.Receive(256, 20ms);
    }
    EXPECT_EQ(MavoZARP_Close(device), MAVOZARP_STATUS_SUCCESS);
}

}  // namespace

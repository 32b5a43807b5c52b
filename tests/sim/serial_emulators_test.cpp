// The serial emulators as a host sees them on their pseudo-terminals: frames and commands that
// come in pieces or together, the probe, and the silence, delay and record controls. The bridge
// frames themselves are checked with the bridge protocol's tests.
#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bus/register_memory.h"
#include "serial/bridge_emulator.h"
#include "serial/text_supply_emulator.h"
#include "support/failure_text.h"
#include "transport/serial_port.h"
#include "support/descriptors.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr const char *kWaitTimeout = "SerialPort::WaitInputQueue: timeout waiting for response";

// A port opened on an emulator's line, closed at the end.
class Port {
public:
    Port(sim::PtyEndpoint &line, uint32_t baud)
        : line_(SerialPort::Open(line.Path().c_str(), baud)) {}
    ~Port() { SerialPort::Close(line_); }
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    bool IsOpen() const { return line_.handle != SerialPort::kInvalidHandle; }

    void Send(std::string_view bytes) {
        SerialPort::WriteBytes(line_, reinterpret_cast<const uint8_t *>(bytes.data()),
                               static_cast<uint32_t>(bytes.size()));
    }
    void Send(const Bytes &bytes) {
        SerialPort::WriteBytes(line_, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }

    // Up to `count` bytes, as many as come within `patience`.
    std::string Collect(size_t count, std::chrono::milliseconds patience = 10s) const {
        std::string collected;
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (collected.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::vector<uint8_t> piece(count - collected.size());
            const uint32_t got =
                SerialPort::ReadAvailable(line_, piece.data(), static_cast<uint32_t>(piece.size()));
            collected.append(piece.begin(), piece.begin() + got);
        }
        return collected;
    }

    // The text raised by reading `count` bytes with the library's bounded wait.
    std::string FailureOfRead(uint32_t count) {
        return FailureText([&] { SerialPort::ReadBytes(line_, count); });
    }

private:
    SerialPort::Line line_;
};

std::string Text(const Bytes &bytes) { return {bytes.begin(), bytes.end()}; }

class BridgeEmulatorTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(port_.IsOpen());
        bridge_.WithBus([](sim::I2cBus &bus) {
            auto memory = std::make_unique<sim::RegisterMemory>(256, 1);
            memory->Load(0x94, Bytes{0x0A, 0xBC});
            bus.Attach(0x90, std::move(memory));
        });
    }

    sim::BridgeEmulator bridge_;
    Port port_{bridge_.Line(), 9600};
};

TEST_F(BridgeEmulatorTest, AFrameArrivingByteByByteIsServedOnceComplete) {
    const Bytes frame{'S', 0x90, 0x01, 0x94, 'S', 0x91, 0x02, 'P'};
    for (size_t i = 0; i < frame.size(); ++i) {
        port_.Send(Bytes{frame[i]});
        ASSERT_TRUE(bridge_.Line().WaitForReceived(i + 1, 10s));
    }
    EXPECT_EQ(port_.Collect(2), "\x0A\xBC");
    EXPECT_EQ(bridge_.Line().Received(), frame);
}

TEST_F(BridgeEmulatorTest, FramesTogetherAreAnsweredInOrderAndStrayBytesPassedOver) {
    // Stray bytes, a register read, a GPIO read and the probe in one write.
    port_.Send(Bytes{0x00, 0xFF, 'S', 0x90, 0x01, 0x94, 'S', 0x91, 0x01, 'P', 'I', 'P', 'R', 0x00});
    EXPECT_EQ(port_.Collect(3), std::string("\x0A\x00\xF0", 3));
}

TEST_F(BridgeEmulatorTest, TheProbeIsAnsweredWithTheConfiguredByte) {
    port_.Send(Bytes{'R', 0x00});
    EXPECT_EQ(port_.Collect(1), "\xF0");

    bridge_.SetProbeAnswer(0x55);
    port_.Send(Bytes{'R', 0x00});
    EXPECT_EQ(port_.Collect(1), "\x55");
}

TEST_F(BridgeEmulatorTest, ASilentBridgeRecordsButDoesNotAnswer) {
    bridge_.Line().SetSilent(true);
    port_.Send(Bytes{'R', 0x00});
    EXPECT_EQ(port_.FailureOfRead(1), kWaitTimeout);
    EXPECT_EQ(bridge_.Line().Received(), (Bytes{'R', 0x00}));

    bridge_.Line().SetSilent(false);
    port_.Send(Bytes{'R', 0x00});
    EXPECT_EQ(port_.Collect(1), "\xF0");
}

TEST_F(BridgeEmulatorTest, ALateAnswerComesAfterTheDelay) {
    bridge_.Line().SetAnswerDelay(50ms);
    port_.Send(Bytes{'R', 0x00});
    EXPECT_EQ(port_.Collect(1), "\xF0");

    // Far later than the library waits; the emulator still stops at once when it goes away.
    bridge_.Line().SetAnswerDelay(60s);
    port_.Send(Bytes{'R', 0x00});
    EXPECT_EQ(port_.FailureOfRead(1), kWaitTimeout);
}

class TextSupplyEmulatorTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(port_.IsOpen()); }

    // The answer to `command` (sent with its carriage return), `length` characters long.
    std::string Ask(std::string_view command, size_t length) {
        port_.Send(std::string(command) + "\r");
        return port_.Collect(length);
    }

    sim::TextSupplyEmulator supply_;
    Port port_{supply_.Line(), 115200};
};

TEST_F(TextSupplyEmulatorTest, IdentificationAndHeadType) {
    EXPECT_EQ(Ask("SYST:INF:TYPE?", 21), "ZARP Text Supply v1\r\n");
    EXPECT_EQ(Ask("?HTYPE", 6), "Kora\r\n");

    supply_.SetAnswer(sim::TextSupplyEmulator::kIdentificationRequest, "KT-2000");
    EXPECT_EQ(Ask("SYST:INF:TYPE?", 9), "KT-2000\r\n");
}

TEST_F(TextSupplyEmulatorTest, QuantitiesAreQueriedAndSettingsRemembered) {
    EXPECT_EQ(Ask("?PCMD", 7), "0.000\r\n");
    EXPECT_EQ(Ask("PCMD=1.5", 4), "OK\r\n");
    EXPECT_EQ(Ask("?PCMD", 5), "1.5\r\n");
    EXPECT_EQ(supply_.Value("PCMD"), "1.5");

    EXPECT_TRUE(supply_.SetValue("P", "1.234"));
    EXPECT_EQ(Ask("?P", 7), "1.234\r\n");
    // Measured quantities cannot be set; unknown commands are refused.
    EXPECT_EQ(Ask("P=3", 5), "ERR\r\n");
    EXPECT_EQ(Ask("?NOTHING", 5), "ERR\r\n");
    EXPECT_EQ(Ask("HELLO", 5), "ERR\r\n");
    EXPECT_EQ(Ask("", 5), "ERR\r\n");
}

TEST_F(TextSupplyEmulatorTest, CommandsInPiecesOrTogether) {
    // As the pass-through sends it: the text, then its carriage return in a write of its own.
    port_.Send(std::string_view("?HTY"));
    ASSERT_TRUE(supply_.Line().WaitForReceived(4, 10s));
    port_.Send(std::string_view("PE"));
    ASSERT_TRUE(supply_.Line().WaitForReceived(6, 10s));
    port_.Send(std::string_view("\r"));
    EXPECT_EQ(port_.Collect(6), "Kora\r\n");

    // Two commands in one write, one ended with CR LF.
    port_.Send(std::string_view("?TMAIN\r\n?ICMD\r"));
    EXPECT_EQ(port_.Collect(15), "25.000\r\n0.000\r\n");
    EXPECT_EQ(Text(supply_.Line().Received()), "?HTYPE\r?TMAIN\r\n?ICMD\r");
}

TEST_F(TextSupplyEmulatorTest, LongAnswersArriveWhole) {
    const std::string longAnswer(150, 'L');
    supply_.SetAnswer("?LONG", longAnswer);
    EXPECT_EQ(Ask("?LONG", 152), longAnswer + "\r\n");
}

TEST_F(TextSupplyEmulatorTest, ASilentSupplyRecordsButDoesNotAnswer) {
    supply_.Line().SetSilent(true);
    port_.Send(std::string_view("?HTYPE\r"));
    EXPECT_EQ(port_.FailureOfRead(1), kWaitTimeout);
    EXPECT_EQ(Text(supply_.Line().Received()), "?HTYPE\r");
}

TEST(SerialEmulators, LeaveNoDescriptorsBehind) {
    const size_t before = OpenDescriptors();
    {
        sim::BridgeEmulator bridge;
        sim::TextSupplyEmulator supply;
        EXPECT_GT(OpenDescriptors(), before);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace

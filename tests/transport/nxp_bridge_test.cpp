// The bridge protocol on the wire: every frame checked byte for byte as the bridge emulator
// receives it over a real pseudo-terminal, reads against register memories behind the bridge,
// the GPIO-driven read and the bus clear through the emulator's bit-level bus.
#include "transport/nxp_bridge.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bus/register_memory.h"
#include "serial/bridge_emulator.h"
#include "support/failure_text.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBridgeBaud = 9600;
constexpr const char *kWaitTimeout = "SerialPort::WaitInputQueue: timeout waiting for response";
constexpr const char *kReadCommandCount = "NXP::Read: invalid number of command bytes";

// GPIO and internal register frames in a readable form: "O30", "I", "R03", "W03=A0".
std::vector<std::string> DescribeFrames(const Bytes &bytes) {
    std::vector<std::string> frames;
    char text[16];
    for (size_t at = 0; at < bytes.size();) {
        switch (bytes[at]) {
            case 'O':
                std::snprintf(text, sizeof text, "O%02X", bytes.at(at + 1));
                at += 3;
                break;
            case 'I':
                std::snprintf(text, sizeof text, "I");
                at += 2;
                break;
            case 'R':
                std::snprintf(text, sizeof text, "R%02X", bytes.at(at + 1));
                at += 3;
                break;
            case 'W':
                std::snprintf(text, sizeof text, "W%02X=%02X", bytes.at(at + 1), bytes.at(at + 2));
                at += 4;
                break;
            default:
                std::snprintf(text, sizeof text, "?%02X", bytes[at]);
                at += 1;
        }
        frames.emplace_back(text);
    }
    return frames;
}

std::vector<std::string> Repeated(int times, const std::vector<std::string> &frames) {
    std::vector<std::string> all;
    for (int i = 0; i < times; ++i) all.insert(all.end(), frames.begin(), frames.end());
    return all;
}

std::vector<std::string> Joined(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class NxpBridgeTest : public testing::Test {
protected:
    void SetUp() override {
        port_ = SerialPort::Open(bridge_.Line().Path().c_str(), kBridgeBaud);
        ASSERT_NE(port_.handle, SerialPort::kInvalidHandle);
        nxp_ = NXP::BridgeOn(port_);
    }
    void TearDown() override { SerialPort::Close(port_); }

    sim::RegisterMemory *AttachMemory(uint8_t address, size_t size, unsigned pointerBytes,
                                      size_t offset, const Bytes &contents) {
        auto memory = std::make_unique<sim::RegisterMemory>(size, pointerBytes);
        memory->Load(offset, contents);
        sim::RegisterMemory *attached = memory.get();
        bridge_.WithBus([&](sim::I2cBus &bus) { bus.Attach(address, std::move(memory)); });
        return attached;
    }

    Bytes Contents(sim::RegisterMemory *memory, size_t offset, size_t count) {
        Bytes contents;
        bridge_.WithBus([&](sim::I2cBus &) { contents = memory->Contents(offset, count); });
        return contents;
    }

    // What the bridge has received, once `count` bytes are in.
    Bytes Received(size_t count) {
        EXPECT_TRUE(bridge_.Line().WaitForReceived(count, 10s));
        return bridge_.Line().Received();
    }

    // Everything received before an internal register read that the bridge has answered, so
    // every frame sent before it has been served.
    Bytes ReceivedBeforeBarrier() {
        NXP::ReadRegister(nxp_);
        Bytes bytes = bridge_.Line().Received();
        bytes.resize(bytes.size() - 3);
        return bytes;
    }

    sim::BridgeEmulator bridge_;
    SerialPort::Line port_;
    NXP::Bridge nxp_;
};

TEST_F(NxpBridgeTest, RegisterWritesSendTheirFrameAndReachTheDevice) {
    sim::RegisterMemory *converter = AttachMemory(0x90, 256, 1, 0, {});
    sim::RegisterMemory *headMemory = AttachMemory(0xA4, 1024, 2, 0, {});

    NXP::Write(nxp_, 0x90, 0x12, 1, 0x5A, 1);
    EXPECT_EQ(Received(6), (Bytes{0x53, 0x90, 0x02, 0x12, 0x5A, 0x50}));
    EXPECT_EQ(Contents(converter, 0x12, 1), Bytes{0x5A});

    bridge_.Line().ClearReceived();
    NXP::Write(nxp_, 0xA4, 0x0190, 2, 0x11223344, 4);
    EXPECT_EQ(Received(10), (Bytes{0x53, 0xA4, 0x06, 0x01, 0x90, 0x11, 0x22, 0x33, 0x44, 0x50}));
    EXPECT_EQ(Contents(headMemory, 0x190, 4), (Bytes{0x11, 0x22, 0x33, 0x44}));

    bridge_.Line().ClearReceived();
    NXP::Write(nxp_, 0x90, 0x20, 1, 0xABCD, 2);
    EXPECT_EQ(Received(7), (Bytes{0x53, 0x90, 0x03, 0x20, 0xAB, 0xCD, 0x50}));
}

TEST_F(NxpBridgeTest, RegisterReadsSendTheirFrameAndAssembleTheAnswerMostSignificantFirst) {
    AttachMemory(0x90, 256, 1, 0x94, {0x0A, 0xBC});
    AttachMemory(0xA4, 1024, 2, 0x0110, {0x11, 0x22, 0x33, 0x44});

    EXPECT_EQ(NXP::Read(nxp_, 0x90, 0x94, 1, 2, false), 0x0ABCu);
    EXPECT_EQ(bridge_.Line().Received(), (Bytes{0x53, 0x90, 0x01, 0x94, 0x53, 0x91, 0x02, 0x50}));

    bridge_.Line().ClearReceived();
    EXPECT_EQ(NXP::Read(nxp_, 0xA4, 0x0110, 2, 4, false), 0x11223344u);
    EXPECT_EQ(bridge_.Line().Received(),
              (Bytes{0x53, 0xA4, 0x02, 0x01, 0x10, 0x53, 0xA5, 0x04, 0x50}));

    bridge_.Line().ClearReceived();
    EXPECT_EQ(NXP::Read(nxp_, 0xA4, 0x0111, 2, 1, false), 0x22u);
}

TEST_F(NxpBridgeTest, AnAddressWithTheReadBitSetIsClearedForWritingAndSetForReading) {
    AttachMemory(0x90, 256, 1, 0x94, {0x0A, 0xBC});

    NXP::Write(nxp_, 0x91, 0x12, 1, 0x5A, 1);
    EXPECT_EQ(Received(6), (Bytes{0x53, 0x90, 0x02, 0x12, 0x5A, 0x50}));

    bridge_.Line().ClearReceived();
    EXPECT_EQ(NXP::Read(nxp_, 0x91, 0x94, 1, 2, false), 0x0ABCu);
    EXPECT_EQ(bridge_.Line().Received(), (Bytes{0x53, 0x90, 0x01, 0x94, 0x53, 0x91, 0x02, 0x50}));
}

TEST_F(NxpBridgeTest, WrongCountsRaiseBeforeAnythingIsSent) {
    EXPECT_EQ(FailureText([&] { NXP::Write(nxp_, 0x90, 0x12, 1, 0x5A, 3); }),
              "NXP.Write: invalid number of data bytes");
    EXPECT_EQ(FailureText([&] { NXP::Write(nxp_, 0x90, 0x12, 1, 0x5A, 0); }),
              "NXP.Write: invalid number of data bytes");
    EXPECT_EQ(FailureText([&] { NXP::Write(nxp_, 0x90, 0x12, 0, 0x5A, 1); }),
              "NXP::Write: invalid number of command bytes");
    // The command count is looked at first.
    EXPECT_EQ(FailureText([&] { NXP::Write(nxp_, 0x90, 0x12, 3, 0x5A, 3); }),
              "NXP::Write: invalid number of command bytes");
    EXPECT_EQ(FailureText([&] { NXP::Read(nxp_, 0x90, 0x12, 3, 2, false); }), kReadCommandCount);
    EXPECT_EQ(FailureText([&] { NXP::Read(nxp_, 0x90, 0x12, 0, 2, true); }), kReadCommandCount);

    EXPECT_EQ(ReceivedBeforeBarrier(), Bytes{});
}

TEST_F(NxpBridgeTest, AShortOrMissingAnswerEndsInTheWaitTimeout) {
    AttachMemory(0x90, 256, 1, 0x94, {0x0A, 0xBC});
    bridge_.Line().SetAnswersShortBy(1);
    EXPECT_EQ(FailureText([&] { NXP::Read(nxp_, 0x90, 0x94, 1, 2, false); }), kWaitTimeout);

    // A device that does not answer to its address gets no bytes back from the bridge.
    bridge_.Line().SetAnswersShortBy(0);
    EXPECT_EQ(FailureText([&] { NXP::Read(nxp_, 0xA0, 0x00, 1, 1, false); }), kWaitTimeout);

    // The late byte is discarded by the next frame: the next read gets its own answer.
    EXPECT_EQ(NXP::Read(nxp_, 0x90, 0x94, 1, 2, false), 0x0ABCu);
}

TEST_F(NxpBridgeTest, GpioAndInternalRegisterFrames) {
    NXP::WriteRegister(nxp_, 0xA7);
    EXPECT_EQ(NXP::ReadRegister(nxp_), 0xA7);
    EXPECT_EQ(bridge_.Line().Received(), (Bytes{'W', 0x03, 0xA7, 'P', 'R', 0x03, 'P'}));

    bridge_.Line().ClearReceived();
    NXP::WriteGPIO(nxp_);  // the shadow starts at zero
    EXPECT_EQ(NXP::ReadGPIO(nxp_), 0x00);
    EXPECT_EQ(bridge_.Line().Received(), (Bytes{'O', 0x00, 'P', 'I', 'P'}));
}

TEST_F(NxpBridgeTest, GpioStartKeepsThePortsOtherPinsAndClearsTheLineConfiguration) {
    NXP::WriteRegister(nxp_, 0xA7);
    const Bytes otherPins{'O', 0xC3, 'P'};  // pins beside the two lines, set by someone else
    SerialPort::WriteBytes(port_, otherPins.data(), 3);
    Received(7);
    bridge_.Line().ClearReceived();

    EXPECT_EQ(NXP::GpioStart(nxp_), "S");
    EXPECT_EQ(DescribeFrames(ReceivedBeforeBarrier()),
              (std::vector<std::string>{"R03", "W03=A0", "I", "OD3", "OF3", "OE3", "OC3"}));
}

TEST_F(NxpBridgeTest, GpioWriteByteClocksOutEveryBitMostSignificantFirst) {
    EXPECT_EQ(NXP::GpioWriteByte(nxp_, 0xA5), ">10100101");
    const std::vector<std::string> one{"O10", "O30", "O10"};
    const std::vector<std::string> zero{"O00", "O20", "O00"};
    EXPECT_EQ(DescribeFrames(ReceivedBeforeBarrier()),
              Joined({one, zero, one, zero, zero, one, zero, one, {"O10"}}));
}

TEST_F(NxpBridgeTest, GpioPrimitivesReadARegisterThroughTheBitLevelBus) {
    AttachMemory(0x90, 256, 1, 0x94, {0x0A, 0xBC});
    std::string transcript = NXP::GpioStart(nxp_);
    transcript += NXP::GpioWriteByte(nxp_, 0x91);
    transcript += NXP::GpioReadAck(nxp_);
    transcript += NXP::GpioWriteByte(nxp_, 0x94);
    transcript += NXP::GpioReadAck(nxp_);
    transcript += NXP::GpioReadByte(nxp_);
    transcript += NXP::GpioMasterAck(nxp_);
    transcript += NXP::GpioReadByte(nxp_);
    transcript += NXP::GpioStop(nxp_);
    EXPECT_EQ(transcript, "S>10010001A>10010100A<00001010M<10111100P");

    // Nobody at 0x92: the address is not acknowledged.
    transcript = NXP::GpioStart(nxp_);
    transcript += NXP::GpioWriteByte(nxp_, 0x93);
    transcript += NXP::GpioReadAck(nxp_);
    transcript += NXP::GpioStop(nxp_);
    EXPECT_EQ(transcript, "S>10010011NP");
}

TEST_F(NxpBridgeTest, TheAlternativeReadGivesWhatTheOrdinaryReadGives) {
    AttachMemory(0x90, 256, 1, 0x94, {0x0A, 0xBC});
    AttachMemory(0xA4, 1024, 2, 0x0110, {0x11, 0x22, 0x33, 0x44});

    EXPECT_EQ(NXP::Read(nxp_, 0x90, 0x94, 1, 2, true), 0x0ABCu);
    EXPECT_EQ(NXP::Read(nxp_, 0x90, 0x94, 1, 2, false), 0x0ABCu);
    EXPECT_EQ(NXP::Read(nxp_, 0xA4, 0x0110, 2, 4, true), 0x11223344u);
    EXPECT_EQ(NXP::Read(nxp_, 0xA4, 0x0110, 2, 4, false), 0x11223344u);
    EXPECT_EQ(NXP::Read(nxp_, 0xA5, 0x0113, 2, 1, true), 0x44u);

    // Nobody answers: every bit reads as the released line.
    EXPECT_EQ(NXP::Read(nxp_, 0xA0, 0x00, 1, 2, true), 0xFFFFu);
}

// The frames of a bus clear from a freshly loaded library (shadow zero) whose sense finds the line
// released after `pulses` clock pulses, or never.
std::vector<std::string> ClearBusFrames(int pulses, bool releasedAtLast) {
    const std::vector<std::string> stop{"O00", "O20", "O30"};
    const std::vector<std::string> pulse{"I", "O10", "O30"};
    const std::vector<std::string> start{"R03", "W03=00", "I", "O30", "O30", "O20", "O00"};
    return Joined({stop, Repeated(pulses, pulse),
                   releasedAtLast ? std::vector<std::string>{"I"} : std::vector<std::string>{},
                   start, stop});
}

TEST_F(NxpBridgeTest, ClearBusOnAnIdleBusSendsStopStartStopWithoutPulses) {
    NXP::ClearBus(nxp_);
    EXPECT_EQ(DescribeFrames(ReceivedBeforeBarrier()), ClearBusFrames(0, true));
}

TEST_F(NxpBridgeTest, ClearBusPulsesTheClockUntilTheDataLineIsReleased) {
    bridge_.HoldDataLow(5);
    NXP::ClearBus(nxp_);
    EXPECT_EQ(DescribeFrames(ReceivedBeforeBarrier()), ClearBusFrames(5, true));
}

TEST_F(NxpBridgeTest, ClearBusGivesUpAfter17PulsesOnALineHeldLow) {
    bridge_.HoldDataLow(1000);
    NXP::ClearBus(nxp_);
    EXPECT_EQ(DescribeFrames(ReceivedBeforeBarrier()), ClearBusFrames(17, false));
}

TEST(NxpTranscript, DecodesTheBitsReadAfterTheFirstReadMarker) {
    EXPECT_EQ(NXP::DecodeTranscript("S>10010001A>10010100A<00000001M<00000010P"), 258u);
    EXPECT_EQ(NXP::DecodeTranscript("S>10010001N<11111111P"), 255u);
    EXPECT_EQ(NXP::DecodeTranscript("S>10010001A>10010100AP"), 0u);
    EXPECT_EQ(NXP::DecodeTranscript(""), 0u);
    // "P" ends the decoding; a text without one ends at its end.
    EXPECT_EQ(NXP::DecodeTranscript("<1P1"), 1u);
    EXPECT_EQ(NXP::DecodeTranscript("<101"), 5u);
    // Bits shifted out above bit 31 are lost.
    EXPECT_EQ(NXP::DecodeTranscript("<1" + std::string(32, '0')), 0u);
    EXPECT_EQ(NXP::DecodeTranscript("<" + std::string(40, '1')), 0xFFFFFFFFu);
}

TEST(NxpTranscript, LooksAtNoMoreThan255Characters) {
    // 254 characters, then a "1" as the 255th: counted.
    const std::string upTo255 = "<" + std::string(253, 'M') + "1";
    ASSERT_EQ(upTo255.size(), 255u);
    EXPECT_EQ(NXP::DecodeTranscript(upTo255), 1u);
    // The same "1" as the 256th character: not looked at.
    EXPECT_EQ(NXP::DecodeTranscript("<" + std::string(254, 'M') + "1"), 0u);
    EXPECT_EQ(NXP::DecodeTranscript(std::string(255, 'A') + "<1"), 0u);
}

}  // namespace

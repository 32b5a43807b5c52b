// A line paced like a UART: an exchange takes at least the time its bytes need on the wire, and
// every byte still arrives, unchanged and counted.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "bus/register_memory.h"
#include "platform/serial_device.h"
#include "serial/bridge_emulator.h"
#include "transport/serial_port.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// A register read frame (8 bytes) and its two bytes of answer.
const Bytes kReadFrame{'S', 0x90, 0x01, 0x94, 'S', 0x91, 0x02, 'P'};
const Bytes kAnswer{0x0A, 0xBC};

class PacedLineTest : public testing::Test {
protected:
    void SetUp() override {
        bridge.WithBus([](sim::I2cBus &bus) {
            auto memory = std::make_unique<sim::RegisterMemory>(256, 1);
            memory->Load(0x94, kAnswer);
            bus.Attach(0x90, std::move(memory));
        });
        port = SerialPort::Open(bridge.Line().Path().c_str(), 9600);
        ASSERT_NE(port.handle, SerialPort::kInvalidHandle);
    }
    void TearDown() override { SerialPort::Close(port); }

    // The answer to one read frame, and how long it took to be all there. The wait is far longer
    // than any pacing needs, so that a busy machine cannot make it run out.
    Bytes Exchange(Clock::duration &took) {
        const Clock::time_point start = Clock::now();
        SerialPort::WriteBytes(port, kReadFrame.data(), static_cast<uint32_t>(kReadFrame.size()));
        EXPECT_TRUE(SerialDevice::AwaitBytesWaiting(port.handle, 2, 20000));
        took = Clock::now() - start;
        return SerialPort::ReadBytes(port, 2);
    }

    sim::BridgeEmulator bridge;
    SerialPort::Line port;
};

TEST_F(PacedLineTest, AnExchangeTakesAtLeastItsWireTimeAndEveryByteArrives) {
    Clock::duration took{};
    // Ten bytes of ten bits at 9600 baud: 8 out, then 2 back.
    bridge.Line().SetPacing(9600);
    EXPECT_EQ(Exchange(took), kAnswer);
    EXPECT_GE(took, std::chrono::microseconds(10 * 10 * 1000000 / 9600));
    EXPECT_EQ(Exchange(took), kAnswer);
    EXPECT_GE(took, std::chrono::microseconds(10 * 10 * 1000000 / 9600));

    // A slower line takes longer still; unpaced again, the answer is unchanged.
    bridge.Line().SetPacing(1200);
    EXPECT_EQ(Exchange(took), kAnswer);
    EXPECT_GE(took, std::chrono::microseconds(10 * 10 * 1000000 / 1200));
    bridge.Line().SetPacing(0);
    EXPECT_EQ(Exchange(took), kAnswer);

    EXPECT_EQ(bridge.Line().SentCount(), 4 * kAnswer.size());
    EXPECT_EQ(bridge.Line().Received().size(), 4 * kReadFrame.size());
}

}  // namespace

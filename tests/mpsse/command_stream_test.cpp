// The command streams the adapter library sends its MPSSE engine, byte for byte as FTDI's
// command set (AN_108) spells them, executed by the engine model against a virtual supply's bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "bus/bit_level_i2c.h"
#include "bus/virtual_supply.h"
#include "ftdi/mpsse_i2c.h"
#include "mpsse/mpsse_engine.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ftdi_adapter::AckCheck;
using ftdi_adapter::ReadTurn;
using ftdi_adapter::Status;

// Records every byte sent and lets the model execute it.
class RecordingLink : public ftdi_adapter::MpsseLink {
public:
    explicit RecordingLink(sim::MpsseEngine &engine) : engine_(engine) {}
    Status ResetEngine() override {
        engine_.Reset();
        return Status::kOk;
    }
    Status Send(const Bytes &commands) override {
        sent.insert(sent.end(), commands.begin(), commands.end());
        engine_.Execute(commands.data(), commands.size());
        return Status::kOk;
    }
    Status Receive(uint8_t *answer, size_t count, uint32_t) override {
        return engine_.TakeAnswer(answer, count) == count ? Status::kOk
                                                          : Status::kAdapterTimedOut;
    }
    Bytes sent;

private:
    sim::MpsseEngine &engine_;
};

// The expected stream, spelled with the opcodes of the command set.
struct Stream {
    Bytes bytes;
    Stream &Add(std::initializer_list<uint8_t> more) {
        bytes.insert(bytes.end(), more);
        return *this;
    }
    // 0x80 value direction, four times: set the low data bits (SCL ADBUS0, SDA ADBUS1).
    Stream &Held(uint8_t value, uint8_t direction) {
        for (int i = 0; i < 4; ++i) Add({0x80, value, direction});
        return *this;
    }
    Stream &ReadLines() { return Add({0x81, 0x87}); }  // read low bits, send immediate
    Stream &Start() { return Held(0x03, 0x01).Held(0x01, 0x03).Held(0x00, 0x03); }
    Stream &Stop() { return Held(0x00, 0x03).Held(0x01, 0x03).Held(0x03, 0x01); }
    // SDA driven, 0x11: one byte out on the falling edge MSB first; SDA released, 0x22: one bit
    // in on the rising edge; 0x87 send immediate.
    Stream &Out(uint8_t byte) {
        return Add({0x80, 0x00, 0x03, 0x11, 0x00, 0x00, byte, 0x80, 0x02, 0x01, 0x22, 0x00, 0x87});
    }
    // SDA released, 0x20: one byte in on the rising edge; then 0x13: one bit out on the falling
    // edge, low with SDA driven (acknowledge) or high with SDA released (the last byte).
    Stream &In(bool acknowledge) {
        Add({0x80, 0x02, 0x01, 0x20, 0x00, 0x00});
        return acknowledge ? Add({0x80, 0x00, 0x03, 0x13, 0x00, 0x00}) : Add({0x13, 0x00, 0x80});
    }
};

class CommandStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(master.Initialise(599), Status::kOk);
        link.sent.clear();
    }

    sim::VirtualSupply supply;
    sim::BitLevelI2c wire{supply.Bus()};
    sim::MpsseEngine engine{wire, {.highSpeed = true, .driveOnlyZero = true}};
    RecordingLink link{engine};
    ftdi_adapter::MpsseI2cMaster master{link, ftdi_adapter::Chip::kFt232H};
    const AckCheck ack{};
};

TEST(MpsseSetUp, ResetsSynchronisesAndSetsTheEngineUpForI2c) {
    sim::VirtualSupply supply;
    sim::BitLevelI2c wire{supply.Bus()};
    sim::MpsseEngine engine{wire};
    RecordingLink link{engine};
    ftdi_adapter::MpsseI2cMaster master{link, ftdi_adapter::Chip::kFt2232H};
    ASSERT_EQ(master.Initialise(599), Status::kOk);
    // 0xAA bad opcode (answered 0xFA 0xAA), divide-by-5 on, adaptive off, three-phase on,
    // loopback off, high bits inputs, SCL driven high and SDA released, divisor 599 = 0x0257.
    EXPECT_EQ(link.sent, (Bytes{0xAA, 0x87, 0x8B, 0x97, 0x8C, 0x85, 0x82, 0x00, 0x00, 0x80, 0x03,
                                0x01, 0x86, 0x57, 0x02}));
    EXPECT_EQ(engine.Divisor(), 599);
    EXPECT_EQ(master.Frequency(), 6666u);  // 12 MHz / (600 * 2) * 2 / 3
    EXPECT_EQ(ftdi_adapter::ClockFrequency(ftdi_adapter::Chip::kFt2232D, 599), 10000u);
    EXPECT_EQ(master.Initialise(0x10000), Status::kInvalidArgument);
}

// Each chip gets the set-up its engine knows, and its bytes go out without SDA ever driven high
// against the device: on the FT232H nothing is driven high at all (0x9E makes SCL and SDA open
// drain); elsewhere the last bit of a byte is clocked with SDA low or released.
TEST(MpsseChips, SetUpAndBytesFollowTheChip) {
    using ftdi_adapter::Chip;
    struct Case {
        Chip chip;
        sim::EngineAbilities abilities;
        Bytes setUp;  // after the synchronisation
        Bytes byteOut;
    };
    const Bytes split{0x80, 0x00, 0x03, 0x13, 0x06, 0x41, 0x80, 0x02, 0x01, 0x13, 0x00, 0x80,
                      0x80, 0x02, 0x01, 0x22, 0x00, 0x87};
    const Case cases[] = {
        {Chip::kFt232H, {.highSpeed = true, .driveOnlyZero = true},
         {0x8B, 0x97, 0x8C, 0x9E, 0x03, 0x00, 0x85},
         {0x80, 0x00, 0x03, 0x11, 0x00, 0x00, 0x41, 0x80, 0x02, 0x01, 0x22, 0x00, 0x87}},
        {Chip::kFt2232H, {.highSpeed = true, .driveOnlyZero = false}, {0x8B, 0x97, 0x8C, 0x85},
         split},
        {Chip::kFt2232D, {.highSpeed = false, .driveOnlyZero = false}, {0x85}, split},
    };
    for (const Case &each : cases) {
        SCOPED_TRACE(static_cast<int>(each.chip));
        sim::VirtualSupply supply;
        sim::BitLevelI2c wire{supply.Bus()};
        sim::MpsseEngine engine{wire, each.abilities};
        RecordingLink link{engine};
        ftdi_adapter::MpsseI2cMaster master{link, each.chip};
        ASSERT_EQ(master.Initialise(599), Status::kOk);
        Bytes expected{0xAA, 0x87};
        expected.insert(expected.end(), each.setUp.begin(), each.setUp.end());
        expected.insert(expected.end(), {0x82, 0x00, 0x00, 0x80, 0x03, 0x01, 0x86, 0x57, 0x02});
        EXPECT_EQ(link.sent, expected);

        const uint8_t control[] = {sim::VirtualSupply::kSupplyIoExpander, 0x02};
        for (const uint8_t value : {0x5A, 0xA5, 0xFF}) {
            ASSERT_EQ(master.Write(control, 2, {}, &value, 1, {}), Status::kOk);
            uint8_t read = 0;
            link.sent.clear();
            ASSERT_EQ(master.Read(control, 2, {}, ReadTurn::kRepeatedStart, &read, 1),
                      Status::kOk);
            EXPECT_EQ(read, value);
        }
        // The reading address 0x41 as this chip sends it.
        const auto at = std::search(link.sent.begin(), link.sent.end(), each.byteOut.begin(),
                                    each.byteOut.end());
        EXPECT_NE(at, link.sent.end());
        EXPECT_EQ(engine.Faults().sdaContention, 0u);
        if (each.chip == Chip::kFt232H) {
            EXPECT_EQ(engine.Faults().drivenHigh, 0u);
        }
    }
}

TEST_F(CommandStreamTest, WriteAndReadBackARegister) {
    const uint8_t control[] = {sim::VirtualSupply::kSupplyIoExpander, 0x02};
    const uint8_t value = 0x5A;
    ASSERT_EQ(master.Write(control, 2, ack, &value, 1, ack), Status::kOk);
    EXPECT_EQ(link.sent, Stream().ReadLines().Start().Out(0x40).Out(0x02).Out(0x5A).Stop().bytes);

    link.sent.clear();
    uint8_t read[2] = {};
    ASSERT_EQ(master.Read(control, 2, ack, ReadTurn::kRepeatedStart, read, 2), Status::kOk);
    Stream expected;
    expected.ReadLines().Start().Out(0x40).Out(0x02).Add({0x80, 0x02, 0x01}).Start().Out(0x41);
    expected.In(true).In(false).Add({0x87}).Stop();
    EXPECT_EQ(link.sent, expected.bytes);
    EXPECT_EQ(read[0], 0x5A);

    // The other read turns with a stop and a fresh start.
    link.sent.clear();
    ASSERT_EQ(master.Read(control, 2, ack, ReadTurn::kStopThenStart, read, 1), Status::kOk);
    Stream alternative;
    alternative.ReadLines().Start().Out(0x40).Out(0x02).Stop().Start().Out(0x41);
    alternative.In(false).Add({0x87}).Stop();
    EXPECT_EQ(link.sent, alternative.bytes);
    EXPECT_EQ(read[0], 0x5A);
}

TEST_F(CommandStreamTest, AMissingAcknowledgementEndsTheTransactionWithAStop) {
    const uint8_t nobody[] = {0x30, 0x00};
    const uint8_t value = 1;
    EXPECT_EQ(master.Write(nobody, 2, ack, &value, 1, ack), Status::kAddressNotAcknowledged);
    EXPECT_EQ(link.sent, Stream().ReadLines().Start().Out(0x30).Stop().bytes);
    uint8_t read = 0;
    EXPECT_EQ(master.Read(nobody, 2, ack, ReadTurn::kRepeatedStart, &read, 1),
              Status::kAddressNotAcknowledged);
    // Unchecked, the same address goes through to the stop.
    link.sent.clear();
    EXPECT_EQ(master.Write(nobody, 2, AckCheck{.checked = false}, &value, 1, ack),
              Status::kDataNotAcknowledged);
    EXPECT_EQ(link.sent, Stream().ReadLines().Start().Out(0x30).Out(0x00).Out(0x01).Stop().bytes);
}

TEST_F(CommandStreamTest, ABusHeldLowIsReportedAndLeftAlone) {
    wire.HoldDataLow(1000);
    const uint8_t control[] = {sim::VirtualSupply::kSupplyIoExpander, 0x02};
    const uint8_t value = 0x5A;
    EXPECT_EQ(master.Write(control, 2, ack, &value, 1, ack), Status::kBusHeldLow);
    uint8_t read = 0;
    EXPECT_EQ(master.Read(control, 2, ack, ReadTurn::kRepeatedStart, &read, 1),
              Status::kBusHeldLow);
    EXPECT_EQ(link.sent, Stream().ReadLines().ReadLines().bytes);
}

TEST(MpsseModel, RefusesWhatItDoesNotModel) {
    sim::VirtualSupply supply;
    sim::BitLevelI2c wire{supply.Bus()};
    sim::MpsseEngine engine{wire};
    // 0x31: bytes in and out at once, not in the subset.
    const uint8_t unmodelled[] = {0x31, 0x00, 0x00, 0x55};
    EXPECT_THROW(engine.Execute(unmodelled, sizeof unmodelled), sim::MpsseRefusal);
    EXPECT_THROW(engine.Execute(unmodelled, 0), sim::MpsseRefusal);  // until reset
    engine.Reset();
    // Clocking before three-phase clocking is on.
    const uint8_t early[] = {0x80, 0x00, 0x03, 0x11, 0x00, 0x00, 0x55};
    EXPECT_THROW(engine.Execute(early, sizeof early), sim::MpsseRefusal);
    // A command split over two writes runs once it is whole.
    engine.Reset();
    const uint8_t probe[] = {0xAB, 0x86, 0x34};
    engine.Execute(probe, sizeof probe);
    engine.Execute(probe, 0);
    const uint8_t rest[] = {0x12};
    engine.Execute(rest, 1);
    uint8_t answer[3] = {};
    EXPECT_EQ(engine.TakeAnswer(answer, 3), 2u);
    EXPECT_EQ(answer[0], 0xFA);
    EXPECT_EQ(answer[1], 0xAB);
    EXPECT_EQ(engine.Divisor(), 0x1234);
}

}  // namespace

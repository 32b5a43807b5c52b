// The bit-level bus on its own: what the device models see of the edges a GPIO-driving master
// makes, the acknowledges and bits the model puts on the data line, and the stuck line.
#include "bus/bit_level_i2c.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using Events = std::vector<std::string>;

class RecordingDevice : public sim::I2cDevice {
public:
    explicit RecordingDevice(Events &events, std::vector<uint8_t> toSend = {})
        : events_(events), toSend_(std::move(toSend)) {}

    void Start(bool read) override { events_.push_back(read ? "start read" : "start write"); }
    bool WriteByte(uint8_t value) override {
        char text[16];
        std::snprintf(text, sizeof text, "write %02X", value);
        events_.emplace_back(text);
        return acknowledge;
    }
    uint8_t ReadByte() override {
        events_.emplace_back("read");
        return toSend_.at(sent_++);
    }
    void Stop() override { events_.emplace_back("stop"); }

    bool acknowledge = true;

private:
    Events &events_;
    std::vector<uint8_t> toSend_;
    size_t sent_ = 0;
};

// A master moving the two lines one step at a time, as the bridge's GPIO port does.
class Master {
public:
    explicit Master(sim::BitLevelI2c &lines) : lines_(lines) { Set(true, true); }

    void Start() {
        Set(true, clock_);
        Set(true, true);
        Set(false, true);
        Set(false, false);
    }
    void Stop() {
        Set(false, false);
        Set(false, true);
        Set(true, true);
    }
    // True when the device acknowledged.
    bool WriteByte(uint8_t value) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool one = ((value >> bit) & 1) != 0;
            Set(one, false);
            Set(one, true);
            Set(one, false);
        }
        Set(true, false);
        Set(true, true);
        const bool acknowledged = !lines_.LookAtData();
        Set(true, false);
        return acknowledged;
    }
    uint8_t ReadByte(bool acknowledge) {
        uint8_t value = 0;
        Set(true, false);
        for (int bit = 0; bit < 8; ++bit) {
            Set(true, true);
            value = static_cast<uint8_t>((value << 1) | (lines_.LookAtData() ? 1 : 0));
            Set(true, false);
        }
        Set(!acknowledge, false);
        Set(!acknowledge, true);
        Set(!acknowledge, false);
        return value;
    }
    void Set(bool data, bool clock) {
        clock_ = clock;
        lines_.Drive(data, clock);
    }

private:
    sim::BitLevelI2c &lines_;
    bool clock_ = true;
};

class BitLevelI2cTest : public testing::Test {
protected:
    RecordingDevice &Attach(uint8_t address, std::vector<uint8_t> toSend = {}) {
        auto device = std::make_unique<RecordingDevice>(events_, std::move(toSend));
        RecordingDevice &attached = *device;
        bus_.Attach(address, std::move(device));
        return attached;
    }

    Events events_;
    sim::I2cBus bus_;
    sim::BitLevelI2c lines_{bus_};
    Master master_{lines_};
};

TEST_F(BitLevelI2cTest, AWriteTransactionReachesTheDeviceWithAcknowledges) {
    Attach(0x90);
    master_.Start();
    EXPECT_TRUE(master_.WriteByte(0x90));
    EXPECT_TRUE(master_.WriteByte(0x12));
    EXPECT_TRUE(master_.WriteByte(0x5A));
    master_.Stop();
    EXPECT_EQ(events_, (Events{"start write", "write 12", "write 5A", "stop"}));
    EXPECT_TRUE(lines_.DataLevel());
}

TEST_F(BitLevelI2cTest, AfterAReadingAddressWrittenBytesSelectTheRegisterAndLookedAtBytesAreSent) {
    Attach(0x90, {0x0A, 0xBC});
    master_.Start();
    EXPECT_TRUE(master_.WriteByte(0x91));
    EXPECT_TRUE(master_.WriteByte(0x94));
    EXPECT_EQ(master_.ReadByte(true), 0x0A);
    EXPECT_EQ(master_.ReadByte(false), 0xBC);
    // The master declined more: the device sends nothing however long the clock runs.
    EXPECT_EQ(master_.ReadByte(false), 0xFF);
    master_.Stop();
    EXPECT_EQ(events_, (Events{"start write", "write 94", "start read", "read", "read", "stop"}));
}

TEST_F(BitLevelI2cTest, ARepeatedStartEndsTheTransactionForTheDevice) {
    Attach(0x90, {0x0A});
    master_.Start();
    EXPECT_TRUE(master_.WriteByte(0x90));
    EXPECT_TRUE(master_.WriteByte(0x94));
    master_.Start();
    EXPECT_TRUE(master_.WriteByte(0x91));
    EXPECT_EQ(master_.ReadByte(false), 0x0A);
    master_.Stop();
    EXPECT_EQ(events_, (Events{"start write", "write 94", "stop", "start read", "read", "stop"}));
}

TEST_F(BitLevelI2cTest, UnacknowledgedAddressesAndBytes) {
    RecordingDevice &device = Attach(0x90);
    master_.Start();
    EXPECT_FALSE(master_.WriteByte(0xA0));
    EXPECT_EQ(master_.ReadByte(false), 0xFF);
    master_.Stop();
    EXPECT_EQ(events_, Events{});

    device.acknowledge = false;
    master_.Start();
    EXPECT_TRUE(master_.WriteByte(0x90));
    EXPECT_FALSE(master_.WriteByte(0x12));
    master_.Stop();
    EXPECT_EQ(events_, (Events{"start write", "write 12", "stop"}));
}

TEST_F(BitLevelI2cTest, ChangingBothLinesAtOnceIsNeitherStartNorStop) {
    Attach(0x90);
    master_.Start();
    EXPECT_TRUE(master_.WriteByte(0x90));
    // 0x5A with the data line moved together with the clock at every edge.
    for (int bit = 7; bit >= 0; --bit) {
        const bool one = ((0x5A >> bit) & 1) != 0;
        master_.Set(one, true);
        master_.Set(!one, false);
    }
    master_.Set(true, true);  // the acknowledge clock
    EXPECT_FALSE(lines_.LookAtData());
    master_.Set(false, false);
    master_.Stop();
    EXPECT_EQ(events_, (Events{"start write", "write 5A", "stop"}));
}

TEST_F(BitLevelI2cTest, AStuckDeviceHoldsTheDataLineForTheGivenClockPulses) {
    lines_.HoldDataLow(3);
    for (int pulse = 0; pulse < 3; ++pulse) {
        // The master releases the line and cannot raise it.
        EXPECT_FALSE(lines_.LookAtData()) << "after " << pulse << " pulses";
        master_.Set(true, false);
        master_.Set(true, true);
    }
    EXPECT_TRUE(lines_.LookAtData());
}

}  // namespace

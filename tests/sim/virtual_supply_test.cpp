#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "bus/virtual_supply.h"

namespace {

using sim::ByteOrder;
using sim::VirtualSupply;

// Bus transactions as an adapter makes them.
std::vector<uint8_t> ReadBack(VirtualSupply &supply, uint8_t address,
                              std::vector<uint8_t> command, uint32_t count) {
    std::vector<uint8_t> data(count);
    EXPECT_TRUE(supply.Bus().WriteThenRead(address, command.data(),
                                           static_cast<uint32_t>(command.size()), data.data(),
                                           count));
    return data;
}

bool Send(VirtualSupply &supply, uint8_t address, std::vector<uint8_t> bytes) {
    return supply.Bus().Write(address, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

TEST(VirtualSupply, ExpanderInputsShowLatchOnOutputsAndLevelsOnInputs) {
    VirtualSupply supply;
    supply.SetExternalLevels(0x48, 0, 0xA5);
    EXPECT_EQ(ReadBack(supply, 0x48, {0x00}, 1), (std::vector<uint8_t>{0xA5}));  // all inputs

    ASSERT_TRUE(Send(supply, 0x48, {0x06, 0x0F}));  // high nibble outputs
    ASSERT_TRUE(Send(supply, 0x48, {0x02, 0x30}));
    EXPECT_EQ(ReadBack(supply, 0x48, {0x00}, 1), (std::vector<uint8_t>{0x35}));
    EXPECT_EQ(supply.Expander(0x48).Input(0), 0x35);

    // Bytes after the command alternate between the two ports of a register pair.
    ASSERT_TRUE(Send(supply, 0x48, {0x07, 0x00, 0xF0}));
    EXPECT_EQ(supply.Expander(0x48).Config(1), 0x00);
    EXPECT_EQ(supply.Expander(0x48).Config(0), 0xF0);
    EXPECT_EQ(ReadBack(supply, 0x48, {0x02}, 2), (std::vector<uint8_t>{0x30, 0xFF}));

    EXPECT_FALSE(Send(supply, 0x48, {0x04, 0x00}));  // no such register
    EXPECT_EQ(supply.Expander(0x48).Output(0), 0x30);
}

TEST(VirtualSupply, AdcChannelFollowsTheCommandByte) {
    VirtualSupply supply;
    // Command bytes of the channels 0 to 7, in the part's interleaved order.
    const uint8_t commands[] = {0x84, 0xC4, 0x94, 0xD4, 0xA4, 0xE4, 0xB4, 0xF4};
    for (uint8_t channel = 0; channel < 8; ++channel) {
        EXPECT_EQ(sim::AdcConverter::ChannelOfCommand(commands[channel]), channel);
        supply.Adc(0x94).SetCode(channel, static_cast<uint16_t>(0x100 * channel + 0x23));
    }
    EXPECT_EQ(ReadBack(supply, 0x94, {0xE4}, 2), (std::vector<uint8_t>{0x05, 0x23}));
    supply.SetAdcCode(0x96, 0xD4, 0xFABC);  // cut to 12 bits
    EXPECT_EQ(ReadBack(supply, 0x96, {0xD4}, 2), (std::vector<uint8_t>{0x0A, 0xBC}));
    EXPECT_EQ(ReadBack(supply, 0x90, {0xD4}, 2), (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_FALSE(Send(supply, 0x90, {0x84, 0x01}));  // the converter takes no data
}

TEST(VirtualSupply, DacKeepsOutputAndMemoryApart) {
    VirtualSupply supply;
    ASSERT_TRUE(Send(supply, 0x52, {0xA0, 0x03, 0xFF}));
    ASSERT_TRUE(Send(supply, 0x52, {0xC0, 0x01, 0x23}));
    EXPECT_EQ(supply.Dac().Output(), 0x3FF);
    EXPECT_EQ(supply.Dac().Memory(), 0x123);
    EXPECT_EQ(ReadBack(supply, 0x52, {0x80}, 2), (std::vector<uint8_t>{0x03, 0xFF}));
    EXPECT_EQ(ReadBack(supply, 0x52, {0xA0}, 2), (std::vector<uint8_t>{0x01, 0x23}));

    ASSERT_TRUE(Send(supply, 0x52, {0xA0, 0x00}));  // half a word changes nothing
    EXPECT_EQ(supply.Dac().Output(), 0x3FF);
    EXPECT_FALSE(Send(supply, 0x52, {0xA0, 0x00, 0x01, 0x02}));
    EXPECT_FALSE(Send(supply, 0x52, {0x80, 0x00, 0x01}));
    EXPECT_FALSE(Send(supply, 0x52, {0x90}));
}

TEST(VirtualSupply, PotentiometerWipersAndStoredWipers) {
    VirtualSupply supply;
    EXPECT_EQ(supply.Wiper(0x5C, 2), 0x80);  // delivered mid-scale
    ASSERT_TRUE(Send(supply, 0x5C, {0x02, 0x11}));
    ASSERT_TRUE(Send(supply, 0x5C, {0x22, 0x99}));
    EXPECT_EQ(supply.Wiper(0x5C, 2), 0x11);
    EXPECT_EQ(supply.Pot(0x5C).StoredWiper(2), 0x99);
    EXPECT_EQ(ReadBack(supply, 0x5C, {0x02}, 1), (std::vector<uint8_t>{0x11}));
    EXPECT_EQ(ReadBack(supply, 0x5C, {0x22}, 1), (std::vector<uint8_t>{0x99}));
    EXPECT_EQ(supply.Wiper(0x58, 2), 0x80);  // the other potentiometer is apart

    supply.Pot(0x58).SetStoredWiper(1, 0x42);
    EXPECT_EQ(supply.Wiper(0x58, 1), 0x42);
    for (uint8_t invalid : {0x04, 0x10, 0x24, 0x40}) {
        EXPECT_FALSE(Send(supply, 0x58, {invalid, 0x00})) << int(invalid);
    }
    EXPECT_FALSE(Send(supply, 0x58, {0x00, 0x01, 0x02}));
}

TEST(VirtualSupply, ElapsedTimeCounterIsLeastSignificantFirst) {
    VirtualSupply supply;
    supply.SetElapsedQuarterSeconds(0x11223344);
    EXPECT_EQ(ReadBack(supply, 0xD6, {0x05}, 4), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(supply.ElapsedQuarterSeconds(), 0x11223344u);
}

TEST(VirtualSupply, HeadMemoriesTakeTwoOffsetBytes) {
    VirtualSupply supply;
    supply.WriteText(0xA4, 0x100, "KORA");
    EXPECT_EQ(ReadBack(supply, 0xA4, {0x01, 0x00}, 5),
              (std::vector<uint8_t>{'K', 'O', 'R', 'A', 0}));
    ASSERT_TRUE(Send(supply, 0xAE, {0x09, 0x04, 0xDE, 0xAD}));
    EXPECT_EQ(supply.ReadMemory(0xAE, 0x904, 2), (std::vector<uint8_t>{0xDE, 0xAD}));

    supply.WriteSingle(0xA4, 0x170, 1.5f, ByteOrder::MostSignificantFirst);
    supply.WriteSingle(0xAE, 0x860, 1.5f, ByteOrder::LeastSignificantFirst);
    EXPECT_EQ(supply.ReadMemory(0xA4, 0x170, 4), (std::vector<uint8_t>{0x3F, 0xC0, 0x00, 0x00}));
    EXPECT_EQ(supply.ReadMemory(0xAE, 0x860, 4), (std::vector<uint8_t>{0x00, 0x00, 0xC0, 0x3F}));
    EXPECT_EQ(supply.ReadWord(0xAE, 0x860, ByteOrder::LeastSignificantFirst), 0x3FC00000u);
}

TEST(VirtualSupply, PartsAreFoundOnlyAtTheirAddresses) {
    VirtualSupply supply;
    EXPECT_THROW(supply.Expander(0x90), std::out_of_range);
    EXPECT_THROW(supply.Adc(0x40), std::out_of_range);
    EXPECT_THROW(supply.Pot(0x52), std::out_of_range);
    EXPECT_THROW(supply.Memory(0xD6), std::out_of_range);
    EXPECT_THROW(supply.WriteMemory(0xA4, 0xFFFF, std::vector<uint8_t>{1, 2}), std::out_of_range);
    EXPECT_FALSE(Send(supply, 0x30, {0x00}));
}

}  // namespace

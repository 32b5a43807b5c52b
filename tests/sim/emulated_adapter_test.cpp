#include <gtest/gtest.h>

#include <string>

#include "support/adapter_library.h"
#include "support/emulated_adapter_controls.h"

namespace {

namespace ea = emulated_adapter;

// The transfer entry points, called as a host program would.
class EmulatedTransfers : public ::testing::Test {
protected:
    void SetUp() override {
        ea::Reset();
        handle = ea::AddSupply();
        read = reinterpret_cast<I2C_ReadFn>(EmulatedAdapterSymbol("I2C_Read"));
        readAlt = reinterpret_cast<I2C_ReadFn>(EmulatedAdapterSymbol("I2C_ReadAlt"));
        write = reinterpret_cast<I2C_WriteFn>(EmulatedAdapterSymbol("I2C_Write"));
        ea::Supply(handle).SetAdcCode(0x90, 0x84, 0x321);
    }
    uint32_t Read(I2C_ReadFn entryPoint, uint32_t controlCount = 2, int32_t ack = 1,
                  uint32_t timeout = 20, uint32_t readType = 2, uint32_t dataCount = 2) {
        return entryPoint(handle, control, controlCount, ack, timeout, readType, data, dataCount);
    }
    uint32_t Write(uint32_t writeType, uint32_t dataCount, PageWriteRecord page,
                   int32_t stop = 1, int32_t dataAck = 1, uint32_t dataTimeout = 20) {
        uint8_t pot[] = {0x58, 0x01};
        return write(handle, pot, 2, 1, 20, stop, writeType, data, dataCount, dataAck,
                     dataTimeout, &page);
    }
    AdapterHandle handle = 0;
    I2C_ReadFn read = nullptr;
    I2C_ReadFn readAlt = nullptr;
    I2C_WriteFn write = nullptr;
    uint8_t control[256] = {0x90, 0x84};
    uint8_t data[65536] = {};
};

TEST_F(EmulatedTransfers, ReadsAsTheLibraryMakesThemSucceed) {
    EXPECT_EQ(Read(read), 0u);
    EXPECT_EQ(data[0], 0x03);
    EXPECT_EQ(data[1], 0x21);
    EXPECT_EQ(Read(readAlt), 0u);

    const std::vector<EmulatedTransfer> log = ea::Transfers();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_STREQ(log[0].entryPoint, "I2C_Read");
    EXPECT_STREQ(log[1].entryPoint, "I2C_ReadAlt");
    EXPECT_EQ(log[1].handle, handle);
    EXPECT_EQ(log[1].controlCount, 2u);
    EXPECT_EQ(log[1].control[1], 0x84);
    EXPECT_EQ(log[1].data[0], 0x03);
    EXPECT_EQ(log[1].data[1], 0x21);
}

TEST_F(EmulatedTransfers, ReadsWithOtherArgumentsAreRefused) {
    EXPECT_NE(Read(read, 1), 0u);
    EXPECT_NE(Read(read, 4), 0u);
    EXPECT_NE(Read(read, 2, 0), 0u);
    EXPECT_NE(Read(read, 2, 1, 21), 0u);
    EXPECT_NE(Read(readAlt, 2, 1, 20, 1), 0u);
    EXPECT_NE(Read(read, 2, 1, 20, 2, 0), 0u);
    control[0] = 0x91;  // the address in its reading form
    EXPECT_NE(Read(read), 0u);
    control[0] = 0x30;  // nobody there
    EXPECT_NE(Read(read), 0u);
    EXPECT_NE(read(handle + 1, control, 2, 1, 20, 2, data, 2), 0u);  // no such adapter

    const std::vector<EmulatedTransfer> log = ea::Transfers();
    ASSERT_EQ(log.size(), 9u);
    for (const EmulatedTransfer &t : log) EXPECT_NE(t.status, 0u);
}

TEST_F(EmulatedTransfers, WriteTypeAndPagesMustMatchTheDataCount) {
    data[0] = 0x44;
    EXPECT_EQ(Write(1, 1, {1, 32}), 0u);
    EXPECT_EQ(ea::Supply(handle).Wiper(0x58, 1), 0x44);

    EXPECT_NE(Write(1, 1, {1, 1}), 0u);
    EXPECT_NE(Write(2, 1, {1, 1}), 0u);
    EXPECT_NE(Write(1, 2, {1, 32}), 0u);
    EXPECT_NE(Write(2, 2, {1, 32}), 0u);
    EXPECT_NE(Write(2, 2, {2, 1}), 0u);
    EXPECT_NE(Write(3, 1, {1, 32}), 0u);
    EXPECT_NE(Write(1, 1, {1, 32}, 0), 0u);
    EXPECT_NE(Write(1, 1, {1, 32}, 1, 0), 0u);
    EXPECT_NE(Write(1, 1, {1, 32}, 1, 1, 0), 0u);
    EXPECT_EQ(ea::Supply(handle).Wiper(0x58, 1), 0x44);

    uint8_t dac[] = {0x52, 0xA0};
    data[0] = 0x02;
    data[1] = 0x9A;
    PageWriteRecord page{1, 2};
    EXPECT_EQ(write(handle, dac, 2, 1, 20, 1, 2, data, 2, 1, 20, &page), 0u);
    EXPECT_EQ(ea::Supply(handle).Dac().Output(), 0x29A);

    const std::vector<EmulatedTransfer> log = ea::Transfers();
    ASSERT_EQ(log.size(), 11u);
    EXPECT_EQ(log.back().dataCount, 2u);
    EXPECT_EQ(log.back().data[1], 0x9A);
}

TEST_F(EmulatedTransfers, ControlsAnswerBeforeTheBusAndAreNotLogged) {
    ea::FailNext("I2C_Read", 2, 7);
    EXPECT_EQ(Read(read), 7u);
    EXPECT_EQ(Read(read), 7u);
    EXPECT_EQ(Read(read), 0u);
    ea::ThrowNext("I2C_Write", 1);
    EXPECT_ANY_THROW(Write(1, 1, {1, 32}));
    EXPECT_EQ(ea::CallCount("I2C_Read"), 3u);
    EXPECT_EQ(ea::CallCount("I2C_Write"), 1u);
    EXPECT_EQ(ea::Transfers().size(), 1u);
}

TEST_F(EmulatedTransfers, TheLogKeepsTheNewestTransfersUnderTheirNumbers) {
    // A long run forgets the oldest transfers but keeps counting and numbering them.
    constexpr uint32_t kKept = 65536;
    constexpr uint32_t kWritten = kKept + 3;
    for (uint32_t i = 0; i < kWritten; ++i) {
        data[0] = static_cast<uint8_t>(i);
        ASSERT_EQ(Write(1, 1, {1, 32}), 0u);
    }
    const auto count = reinterpret_cast<EmulatedAdapter_TransferCountFn>(
        EmulatedAdapterSymbol("EmulatedAdapter_TransferCount"));
    const auto get = reinterpret_cast<EmulatedAdapter_GetTransferFn>(
        EmulatedAdapterSymbol("EmulatedAdapter_GetTransfer"));
    EXPECT_EQ(count(), kWritten);
    EmulatedTransfer transfer{};
    EXPECT_EQ(get(0, &transfer), -1);
    EXPECT_EQ(get(kWritten - kKept - 1, &transfer), -1);
    for (const uint32_t number : {kWritten - kKept, kKept, kWritten - 1}) {
        ASSERT_EQ(get(number, &transfer), 0) << number;
        EXPECT_EQ(transfer.data[0], static_cast<uint8_t>(number)) << number;
    }
    EXPECT_EQ(get(kWritten, &transfer), -1);

    ea::Reset();
    EXPECT_EQ(count(), 0u);
    EXPECT_EQ(get(kWritten - 1, &transfer), -1);
}

TEST(EmulatedAdapter, SuppliesHaveTheirOwnHandlesAndLeaveWithReset) {
    ea::Reset();
    const AdapterHandle first = ea::AddSupply();
    const AdapterHandle second = ea::AddSupply();
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, second);
    EXPECT_NE(first, static_cast<AdapterHandle>(-1));
    EXPECT_NE(&ea::Supply(first), &ea::Supply(second));

    ea::Supply(first).SetAdcCode(0x90, 0x84, 1);
    EXPECT_EQ(ea::Supply(second).Adc(0x90).Code(0), 0);

    ea::Reset();
    EXPECT_THROW(ea::Supply(first), std::out_of_range);
    EXPECT_TRUE(ea::Transfers().empty());
}

}  // namespace

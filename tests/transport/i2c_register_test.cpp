#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "support/emulated_adapter_controls.h"
#include "support/failure_text.h"
#include "transport/adapter_library.h"
#include "transport/i2c_adapter.h"
#include "transport/i2c_register.h"

namespace {

namespace ea = emulated_adapter;
using sim::VirtualSupply;

// A part that answers each read transaction with the next value of a script, most significant
// byte first, and counts the reads.
class ScriptedPart : public sim::I2cDevice {
public:
    ScriptedPart(std::vector<uint32_t> script, int dataBytes)
        : script_(script.begin(), script.end()), dataBytes_(dataBytes) {}
    void Start(bool read) override {
        if (!read) return;
        ++reads;
        current_ = script_.empty() ? 0 : script_.front();
        if (!script_.empty()) script_.pop_front();
        byte_ = 0;
    }
    bool WriteByte(uint8_t) override { return true; }
    uint8_t ReadByte() override {
        return static_cast<uint8_t>(current_ >> (8 * (dataBytes_ - 1 - byte_++)));
    }
    int reads = 0;

private:
    std::deque<uint32_t> script_;
    int dataBytes_;
    uint32_t current_ = 0;
    int byte_ = 0;
};

constexpr uint8_t kScriptedAddress = 0x20;

class RegisterLayer : public ::testing::Test {
protected:
    void SetUp() override {
        ea::Reset();
        ASSERT_TRUE(BindAdapterLibrary().moduleLoaded);
        handle = ea::AddSupply();
        opened.handle = handle;
    }
    VirtualSupply &Supply() { return ea::Supply(handle); }
    I2cRegister On(I2cRegister layout) const {
        layout.transport = AdapterTransport{&opened};
        return layout;
    }
    // A register on a scripted part, read with `policy`.
    ScriptedPart &Script(std::vector<uint32_t> values, int dataBytes = 1) {
        auto part = std::make_unique<ScriptedPart>(std::move(values), dataBytes);
        ScriptedPart &ref = *part;
        Supply().Bus().Attach(kScriptedAddress, std::move(part));
        return ref;
    }
    I2cRegister Scripted(int32_t policy) const {
        return On(I2cRegister::Device(kScriptedAddress, 1, policy));
    }
    AdapterHandle handle = 0;
    OpenedAdapter opened;
};

constexpr int32_t kAgreed = 4;

TEST_F(RegisterLayer, AgreedReadStopsAtTheFirstRepeatedValue) {
    ScriptedPart &sevenNineSeven = Script({7, 9, 7, 9, 9});
    EXPECT_EQ(Scripted(kAgreed).Read(0), 7u);
    EXPECT_EQ(sevenNineSeven.reads, 3);

    ScriptedPart &allDiffer = Script({1, 2, 3, 4, 5, 5});
    EXPECT_EQ(Scripted(kAgreed).Read(0), 1u);  // all five differ: the first
    EXPECT_EQ(allDiffer.reads, 5);

    ScriptedPart &twoFours = Script({4, 4, 8});
    EXPECT_EQ(Scripted(kAgreed).Read(0), 4u);
    EXPECT_EQ(twoFours.reads, 2);
}

TEST_F(RegisterLayer, MedianReadTakesTheMiddleOfThree) {
    ScriptedPart &spread = Script({10, 30, 20, 99});
    EXPECT_EQ(Scripted(kReadMedian).Read(0), 20u);
    EXPECT_EQ(spread.reads, 3);

    Script({5, 5, 9});
    EXPECT_EQ(Scripted(kReadMedian).Read(0), 5u);

    // Compared as unsigned numbers.
    Script({0xFFFFFFFFu, 1, 2}, 4);
    EXPECT_EQ(On(I2cRegister::Device(kScriptedAddress, 4, kReadMedian)).Read(0), 2u);
}

TEST_F(RegisterLayer, ReadPolicySelectsTheReadAndTheEntryPoint) {
    ScriptedPart &once = Script({3, 3, 3});
    EXPECT_EQ(Scripted(kReadOnce).Read(0), 3u);
    EXPECT_EQ(once.reads, 1);

    Script({6, 6});
    EXPECT_EQ(Scripted(kReadAgreedAlternative).Read(0), 6u);
    EXPECT_EQ(ea::CallCount("I2C_ReadAlt"), 2u);
    EXPECT_EQ(ea::CallCount("I2C_Read"), 1u);  // only the read of policy 7 above
}

TEST_F(RegisterLayer, WritesCarryTheirCommandAndAreRangeCheckedFirst) {
    const I2cRegister pot = On(I2cRegister::WithCodes(0x58, 1, 1, {0x00, 0x01, 0x00, 0x21}));
    pot.WriteValue(255);
    pot.WriteValueAlt(17);
    EXPECT_EQ(Supply().Pot(0x58).Wiper(1), 255);
    EXPECT_EQ(Supply().Pot(0x58).StoredWiper(1), 17);

    EXPECT_EQ(FailureText([&] { pot.WriteValue(256); }), "Invalid data");
    EXPECT_EQ(FailureText([&] { pot.WriteValue(static_cast<uint32_t>(-1)); }), "Invalid data");
    EXPECT_EQ(FailureText([&] { pot.WriteValueAlt(256); }), "Invalid data");
    EXPECT_EQ(ea::CallCount("I2C_Write"), 2u);

    const I2cRegister dac = On(I2cRegister::Device(0x52, 2, kReadAgreedAlternative));
    dac.WriteDacOutput(1023);
    dac.WriteDacMemory(512);
    EXPECT_EQ(FailureText([&] { dac.WriteDacOutput(1024); }), "Invalid data");
    EXPECT_EQ(FailureText([&] { dac.WriteDacMemory(1024); }), "Invalid data");
    EXPECT_EQ(Supply().Dac().Output(), 1023);
    EXPECT_EQ(Supply().Dac().Memory(), 512);

    const std::vector<EmulatedTransfer> log = ea::Transfers();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2].control[1], 0xA0);
    ASSERT_EQ(log[2].dataCount, 2u);
    EXPECT_EQ(log[2].data[0], 0x03);
    EXPECT_EQ(log[2].data[1], 0xFF);
    EXPECT_EQ(log[3].control[1], 0xC0);
}

TEST_F(RegisterLayer, OnTheNullTransportReadsGiveZeroAndWritesAreSilent) {
    Supply().SetAdcCode(0x90, 0x84, 1234);
    I2cRegister adc = I2cRegister::WithCodes(0x90, 2, kReadMedian, {0x84, 0, 0, 0});
    adc.transport = NullTransport{};
    EXPECT_EQ(adc.ReadValue(), 0u);
    I2cRegister pot = I2cRegister::WithCodes(0x58, 1, 1, {0, 0, 0, 0x20});
    pot.transport = NullTransport{};
    pot.WriteValue(3);
    EXPECT_EQ(FailureText([&] { pot.WriteValue(300); }), "Invalid data");
    EXPECT_EQ(Supply().Pot(0x58).Wiper(0), 0x80);
    EXPECT_EQ(ea::CallCount("I2C_Read") + ea::CallCount("I2C_Write"), 0u);
}

TEST_F(RegisterLayer, TextReadStopsAfterItsTerminator) {
    Supply().WriteText(0xA4, 0x100, "VFK");
    const I2cRegister type = On(I2cRegister::MemoryText(0xA4, kReadOnce, 0x100, 16));
    char buffer[100];
    std::memset(buffer, 'x', sizeof buffer);
    type.ReadText(buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "VFK");
    EXPECT_EQ(buffer[4], 'x');

    const std::vector<EmulatedTransfer> log = ea::Transfers();
    ASSERT_EQ(log.size(), 4u);
    for (uint8_t i = 0; i < 4; ++i) {
        EXPECT_EQ(log[i].controlCount, 3u);
        EXPECT_EQ(log[i].control[0], 0xA4);
        EXPECT_EQ(log[i].control[1], 0x01);
        EXPECT_EQ(log[i].control[2], i);
    }
}

TEST_F(RegisterLayer, TextWithoutTerminatorIsCutToItsLengthAndToTheBuffer) {
    const uint8_t full[] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H',
                            'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 'Q'};
    Supply().WriteMemory(0xA4, 0x100, full);
    const I2cRegister type = On(I2cRegister::MemoryText(0xA4, kReadOnce, 0x100, 16));
    char buffer[100];
    std::memset(buffer, 'x', sizeof buffer);
    type.ReadText(buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "ABCDEFGHIJKLMNOP");

    char small[5];
    type.ReadText(small, sizeof small);
    EXPECT_STREQ(small, "ABCD");
}

TEST_F(RegisterLayer, ExpanderPortsOtherThanZeroAndOneAreRefusedWithoutTraffic) {
    const I2cRegister expander = On(I2cRegister::Device(0x40, 1, 5));
    EXPECT_EQ(FailureText([&] { expander.ReadInputPort(2); }), "Unexpected error");
    EXPECT_EQ(FailureText([&] { expander.ReadConfigPort(2); }), "Unexpected error");
    EXPECT_EQ(FailureText([&] { expander.WriteOutputPort(2, 0); }), "Unexpected error");
    EXPECT_EQ(FailureText([&] { expander.WriteConfigPort(255, 0); }), "Unexpected error");
    EXPECT_EQ(ea::Transfers().size(), 0u);

    Supply().SetExternalLevels(0x40, 1, 0x5A);
    EXPECT_EQ(expander.ReadInputPort(1), 0x5A);
    expander.WriteConfigPort(1, 0x0F);
    expander.WriteOutputPort(1, 0xA0);
    EXPECT_EQ(expander.ReadConfigPort(1), 0x0F);
    EXPECT_EQ(expander.ReadInputPort(1), 0xAA);  // outputs from the latch, inputs from outside
}

TEST_F(RegisterLayer, WriteBitBuildsTheOutputFromThePinLevels) {
    Supply().SetExternalLevels(0x4A, 0, 0x01);  // all pins inputs (configuration 0xFF)
    const I2cRegister keySwitch = On(I2cRegister::ExpanderPins(0x4A, kReadOnce, 0, 0x20));
    keySwitch.WriteBit(true);

    std::vector<EmulatedTransfer> writes;
    for (const EmulatedTransfer &t : ea::Transfers()) {
        if (std::string(t.entryPoint) == "I2C_Write") writes.push_back(t);
    }
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].control[1], 0x06);
    EXPECT_EQ(writes[0].data[0], 0xDF);
    EXPECT_EQ(writes[1].control[1], 0x02);
    EXPECT_EQ(writes[1].data[0], 0x21);
    EXPECT_EQ(Supply().Expander(0x4A).Output(0), 0x21);

    keySwitch.WriteBit(false);
    EXPECT_EQ(Supply().Expander(0x4A).Output(0), 0x01);
    EXPECT_EQ(Supply().Expander(0x4A).Config(0), 0xDF);
}

// ---- adapter transfers ----

TEST_F(RegisterLayer, AdapterTransfersPassTheControlBytesAndDataInBusOrder) {
    Supply().WriteWord(0xA4, 0x170, 0x12345678, sim::ByteOrder::MostSignificantFirst);
    EXPECT_EQ(I2cAdapter::Read(opened, 0xA4, 0x170, 2, 4, false), 0x12345678u);
    I2cAdapter::Write(opened, 0xA4, 0x180, 2, 0xCAFEF00D, 4);
    I2cAdapter::Write(opened, 0x58, 0x21, 1, 0x1AB, 1);  // one byte: the low byte
    I2cAdapter::Write(opened, 0x52, 0xA0, 1, 0x0155, 2);

    const std::vector<EmulatedTransfer> log = ea::Transfers();
    ASSERT_EQ(log.size(), 4u);
    for (const EmulatedTransfer &t : log) EXPECT_EQ(t.status, 0u) << t.entryPoint;
    EXPECT_STREQ(log[0].entryPoint, "I2C_Read");
    EXPECT_EQ(log[0].handle, handle);
    EXPECT_EQ(log[0].controlCount, 3u);
    EXPECT_EQ((std::vector<uint8_t>(log[0].control, log[0].control + 3)),
              (std::vector<uint8_t>{0xA4, 0x01, 0x70}));
    EXPECT_STREQ(log[1].entryPoint, "I2C_Write");
    EXPECT_EQ((std::vector<uint8_t>(log[1].data, log[1].data + 4)),
              (std::vector<uint8_t>{0xCA, 0xFE, 0xF0, 0x0D}));
    EXPECT_EQ(log[2].controlCount, 2u);
    EXPECT_EQ(log[2].dataCount, 1u);
    EXPECT_EQ(log[2].data[0], 0xAB);
    EXPECT_EQ(Supply().ReadWord(0xA4, 0x180, sim::ByteOrder::MostSignificantFirst), 0xCAFEF00Du);
    EXPECT_EQ(Supply().Pot(0x58).StoredWiper(1), 0xAB);
    EXPECT_EQ(Supply().Dac().Output(), 0x155);
}

TEST_F(RegisterLayer, AdapterRetriesFiveTimesWithoutPause) {
    Supply().SetAdcCode(0x90, 0x84, 0x123);
    ea::FailNext("I2C_Read", 2);
    EXPECT_EQ(I2cAdapter::Read(opened, 0x90, 0x84, 1, 2, false), 0x123u);
    EXPECT_EQ(ea::CallCount("I2C_Read"), 3u);

    ea::FailNext("I2C_Read", 5);
    EXPECT_EQ(FailureText([&] { I2cAdapter::Read(opened, 0x90, 0x84, 1, 2, false); }),
              "I2C error");
    EXPECT_EQ(ea::CallCount("I2C_Read"), 8u);

    ea::FailNext("I2C_Write", 5);
    EXPECT_EQ(FailureText([&] { I2cAdapter::Write(opened, 0x58, 0, 1, 1, 1); }), "I2C error");
    EXPECT_EQ(ea::CallCount("I2C_Write"), 5u);

    // An agreed read over a failing adapter ends at its first failed read.
    ea::FailNext("I2C_Read", 5);
    const I2cRegister adc = On(I2cRegister::WithCodes(0x90, 2, kAgreed, {0x84, 0, 0, 0}));
    EXPECT_EQ(FailureText([&] { adc.ReadValue(); }), "I2C error");
    EXPECT_EQ(ea::CallCount("I2C_Read"), 13u);
}

TEST_F(RegisterLayer, AnExceptionOutOfTheAdapterEndsTheAttempts) {
    ea::ThrowNext("I2C_ReadAlt", 1);
    EXPECT_EQ(FailureText([&] { I2cAdapter::Read(opened, 0x52, 0x80, 1, 2, true); }),
              "FTCI2C exception");
    EXPECT_EQ(ea::CallCount("I2C_ReadAlt"), 1u);

    ea::ThrowNext("I2C_Write", 1);
    EXPECT_EQ(FailureText([&] { I2cAdapter::Write(opened, 0x52, 0xA0, 1, 1, 2); }),
              "FTCI2C exception");
    EXPECT_EQ(ea::CallCount("I2C_Write"), 1u);
}

TEST_F(RegisterLayer, AdapterRefusesCountsItCannotSendWithoutACall) {
    EXPECT_EQ(FailureText([&] { I2cAdapter::Read(opened, 0x90, 0x84, 3, 2, false); }),
              "I2C invalid commandNumberOfBytes");
    EXPECT_EQ(FailureText([&] { I2cAdapter::Read(opened, 0x90, 0x84, 1, 3, false); }),
              "I2C invalid dataNumberOfBytes");
    EXPECT_EQ(FailureText([&] { I2cAdapter::Write(opened, 0x90, 0x84, 0, 1, 1); }),
              "I2C invalid commandNumberOfBytes");
    EXPECT_EQ(FailureText([&] { I2cAdapter::Write(opened, 0x90, 0x84, 1, 1, 0); }),
              "I2C invalid dataNumberOfBytes");
    EXPECT_EQ(ea::CallCount("I2C_Read") + ea::CallCount("I2C_Write"), 0u);
}

TEST_F(RegisterLayer, AClosedAdapterFailsWithoutCallingTheLibrary) {
    opened.closed = true;
    const I2cRegister adc = On(I2cRegister::WithCodes(0x90, 2, kReadMedian, {0x84, 0, 0, 0}));
    EXPECT_EQ(FailureText([&] { adc.ReadValue(); }), "I2C error");
    const I2cRegister pot = On(I2cRegister::WithCodes(0x58, 1, 1, {0, 0, 0, 0x20}));
    EXPECT_EQ(FailureText([&] { pot.WriteValue(1); }), "I2C error");
    EXPECT_EQ(ea::CallCount("I2C_Read") + ea::CallCount("I2C_Write"), 0u);

    opened.closed = false;  // opened anew
    EXPECT_EQ(FailureText([&] { adc.ReadValue(); }), "(none)");
}

TEST_F(RegisterLayer, AnAbsentPartIsAFailedAttempt) {
    EXPECT_EQ(FailureText([&] { I2cAdapter::Read(opened, 0x30, 0, 1, 1, false); }), "I2C error");
    EXPECT_EQ(ea::CallCount("I2C_Read"), 5u);
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "heads/common_laser.h"
#include "support/emulated_adapter_controls.h"
#include "support/failure_text.h"
#include "transport/adapter_library.h"

namespace {

namespace ea = emulated_adapter;
using sim::ByteOrder;
using sim::VirtualSupply;

constexpr uint8_t kMemory = VirtualSupply::kHeadMemory;
constexpr uint8_t kSecondMemory = VirtualSupply::kSecondHeadMemory;
constexpr uint8_t kMainPot = VirtualSupply::kMainPot;

// A supply behind the emulated adapter, with the head model built on it.
class CommonHead : public ::testing::Test {
protected:
    void SetUp() override {
        ea::Reset();
        ASSERT_TRUE(BindAdapterLibrary().moduleLoaded);
        handle = ea::AddSupply();
        opened.handle = handle;
        Supply().WriteText(kMemory, 0x110, "SN-4711");
    }
    VirtualSupply &Supply() { return ea::Supply(handle); }
    CommonLaser &Head() {
        if (!head) head = std::make_unique<CommonLaser>(AdapterTransport{&opened});
        return *head;
    }
    AdapterHandle handle = 0;
    OpenedAdapter opened;
    std::unique_ptr<CommonLaser> head;
};

TEST_F(CommonHead, ConstructionReadsTheIdentifierAndStartsDefined) {
    CommonLaser &laser = Head();
    EXPECT_STREQ(laser.headIdCopy.data(), "SN-4711");
    EXPECT_STREQ(laser.GetHeadId(), "SN-4711");
    EXPECT_EQ(laser.powerFullScale, 0.0);
    EXPECT_EQ(laser.currentFullScale, 0.0);
    EXPECT_EQ(laser.powerDisplayFactor, 1.0);
    EXPECT_EQ(laser.mainDriveFullScale, 48.0);
    EXPECT_EQ(laser.matchValues, (std::array<double, 4>{}));
    EXPECT_EQ(laser.transport, Transport{AdapterTransport{&opened}});
    EXPECT_EQ(laser.fanBit->transport, laser.transport);
    EXPECT_EQ(laser.secondaryMatchDescriptors[3]->transport, laser.transport);

    // The identifier is read from head memory 0xA4 at 0x110, two offset bytes, byte by byte.
    const std::vector<EmulatedTransfer> log = ea::Transfers();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].controlCount, 3u);
    EXPECT_EQ(log[0].control[0], 0xA4);
    EXPECT_EQ(log[0].control[1], 0x01);
    EXPECT_EQ(log[0].control[2], 0x10);
    EXPECT_EQ(log[0].dataCount, 1u);
}

TEST_F(CommonHead, ConstructionThatCannotReadTheHeadFails) {
    ea::FailNext("I2C_Read", 5);
    EXPECT_EQ(FailureText([&] { Head(); }), "I2C error");
}

TEST_F(CommonHead, IdentificationTextsShareOneBufferPerOperation) {
    const uint8_t sixteen[] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H',
                               'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P'};
    Supply().WriteMemory(kMemory, 0x100, sixteen);  // followed by the identifier, no zero
    CommonLaser other(AdapterTransport{&opened});
    const char *type = Head().GetHeadType();
    EXPECT_STREQ(type, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(other.GetHeadType(), type);

    Supply().WriteText(kMemory, 0x100, "VFK");
    EXPECT_STREQ(Head().GetHeadType(), "VFK");

    Supply().WriteText(kMemory, 0x160, "640");
    Supply().WriteText(kSecondMemory, 0x100, "VGN");
    EXPECT_STREQ(Head().GetHeadBoardRevision(), "640");
    EXPECT_STREQ(Head().GetSecondaryHeadType(), "VGN");
    Head().secondaryTypeDescriptor.reset();
    EXPECT_STREQ(Head().GetSecondaryHeadType(), "n/a");

    EXPECT_STREQ(Head().GetLaserModel(), "TBD");
    EXPECT_STREQ(Head().GetPowerUnits(), "W");
    EXPECT_EQ(Head().GetWavelength(), 0.0);
    EXPECT_EQ(Head().GetFaultFlags(), 0);
}

TEST_F(CommonHead, HoursFromTheCounterAndTheHeadMemory) {
    Supply().SetElapsedQuarterSeconds(3 * 14400 + 2);
    Supply().WriteWord(kMemory, 0x17C, 0xFFFFFFFF, ByteOrder::MostSignificantFirst);
    EXPECT_DOUBLE_EQ(Head().GetElectronicsHours(), 3.0);
    EXPECT_DOUBLE_EQ(Head().GetHeadHours(), Head().GetElectronicsHours());

    Supply().WriteWord(kMemory, 0x17C, 2 * 14400, ByteOrder::MostSignificantFirst);
    EXPECT_DOUBLE_EQ(Head().GetHeadHours(), 5.0);
}

TEST_F(CommonHead, ConfigurationBytes) {
    const uint8_t bytes[] = {0x11, 0x22, 0x33, 0x44};
    Supply().WriteMemory(kMemory, 0x1A0, bytes);
    EXPECT_EQ(Head().GetConfigByte0(), 0x11);
    EXPECT_EQ(Head().GetConfigByte3(), 0x44);
    Head().SetConfigByte2(0x77);
    EXPECT_EQ(Supply().ReadMemory(kMemory, 0x1A0, 4),
              (std::vector<uint8_t>{0x11, 0x22, 0x77, 0x44}));
    EXPECT_EQ(Head().GetConfigByte2(), 0x77);
}

TEST_F(CommonHead, ConverterSetCommandsWriteTruncatedCodes) {
    CommonLaser &laser = Head();
    laser.currentFullScale = 2.0;
    laser.SetCurrentCommand(1.0);
    EXPECT_EQ(Supply().Dac().Output(), 512);
    EXPECT_DOUBLE_EQ(laser.GetCurrentCommand(), 1.0);

    EXPECT_EQ(FailureText([&] { laser.SetCurrentCommand(2.0); }), "Invalid data");  // code 1024
    EXPECT_EQ(FailureText([&] { laser.SetCurrentCommand(-0.002); }), "Invalid data");
    EXPECT_EQ(FailureText([&] { laser.SetCurrentCommand(std::nan("")); }), "Invalid data");
    EXPECT_EQ(FailureText([&] { laser.SetCurrentCommand(1e300); }), "Invalid data");
    EXPECT_EQ(Supply().Dac().Output(), 512);
    laser.SetCurrentCommand(-0.001);  // less than one step below zero truncates to 0
    EXPECT_EQ(Supply().Dac().Output(), 0);

    laser.powerFullScale = 4.0;
    laser.SetPowerCommand(1.0);
    laser.SetPowerMemory(3.0);
    EXPECT_EQ(Supply().Dac().Output(), 256);
    EXPECT_EQ(Supply().Dac().Memory(), 768);
    EXPECT_DOUBLE_EQ(laser.GetPowerCommand(), 1.0);
    EXPECT_DOUBLE_EQ(laser.GetPowerMemory(), 3.0);

    // A full scale of zero makes the set commands do nothing, without traffic.
    laser.currentFullScale = 0.0;
    const size_t before = ea::Transfers().size();
    laser.SetCurrentCommand(1.0);
    EXPECT_EQ(ea::Transfers().size(), before);
}

TEST_F(CommonHead, ReadingsScaleTheirConverterCodes) {
    CommonLaser &laser = Head();
    laser.currentFullScale = 8.0;
    laser.powerFullScale = 2.0;
    Supply().SetAdcCode(0x90, 0x94, 2048);
    Supply().SetAdcCode(0x90, 0xD4, 1024);
    Supply().SetAdcCode(0x90, 0x84, 512);
    Supply().SetAdcCode(0x90, 0xE4, 4095);
    EXPECT_NEAR(laser.GetMainTemperature(), 25.002, 0.0005);
    EXPECT_DOUBLE_EQ(laser.GetMainDrive(), 12.0);
    EXPECT_DOUBLE_EQ(laser.GetCurrent(), 1.0);
    EXPECT_DOUBLE_EQ(laser.GetPower(), 4095 * 2.0 / 4096);

    Supply().Pot(kMainPot).SetWiper(0, 152);
    Supply().Pot(kMainPot).SetWiper(3, 64);
    Supply().Pot(kMainPot).SetWiper(2, 128);
    EXPECT_NEAR(laser.GetMainTemperatureCommand(), 25.021, 0.0005);
    EXPECT_DOUBLE_EQ(laser.GetCurrentLimit(), 2.0);
    EXPECT_DOUBLE_EQ(laser.GetPowerLimit(), 1.0);
}

TEST_F(CommonHead, MainTemperatureSetPointGoesToTheVolatileWiper) {
    Head().SetMainTemperatureCommand(25.0);
    EXPECT_EQ(Supply().Wiper(kMainPot, 0), 152);
    EXPECT_EQ(Supply().Pot(kMainPot).StoredWiper(0), 0x80);
    EXPECT_EQ(FailureText([&] { Head().SetMainTemperatureCommand(15.0001); }), "Invalid data");
    EXPECT_EQ(Supply().Wiper(kMainPot, 0), 152);
}

TEST_F(CommonHead, MatchProgramsEveryQuantityAndReportsTheOnesItCannot) {
    CommonLaser &laser = Head();
    laser.currentFullScale = 2.0;
    laser.powerFullScale = 1.0;
    laser.matchValues = {1.0, 0.5, 0.25, 30.0};
    EXPECT_EQ(laser.MatchHeadSettings(), 8);
    EXPECT_EQ(Supply().Wiper(kMainPot, 3), 128);  // 1 x 255 / 2 + 0.5
    EXPECT_EQ(Supply().Pot(kMainPot).StoredWiper(3), 128);
    EXPECT_EQ(Supply().Wiper(kMainPot, 2), 128);
    EXPECT_EQ(Supply().Pot(kMainPot).StoredWiper(2), 128);
    EXPECT_EQ(Supply().Dac().Output(), 256);  // 0.25 x 1023 + 0.5
    EXPECT_EQ(Supply().Dac().Memory(), 256);
    EXPECT_EQ(Supply().Wiper(kMainPot, 0), 0x80);  // untouched

    laser.matchValues = {2.0, 1.0, 1.0, 25.0};
    EXPECT_EQ(laser.MatchHeadSettings(), 0);  // 255, 255, 1023 are still codes
    EXPECT_EQ(Supply().Wiper(kMainPot, 3), 255);
    EXPECT_EQ(Supply().Dac().Memory(), 1023);
    EXPECT_EQ(Supply().Wiper(kMainPot, 0), 152);
    EXPECT_EQ(Supply().Pot(kMainPot).StoredWiper(0), 152);

    laser.matchValues = {2.01, 1.01, 1.001, 15.0};
    EXPECT_EQ(laser.MatchHeadSettings(), 1 | 2 | 4 | 8);
}

TEST_F(CommonHead, MatchValuesThatAreNoNumbersSetTheirBits) {
    CommonLaser &laser = Head();
    laser.currentFullScale = 2.0;
    laser.powerFullScale = 1.0;
    const double nan = std::nan("");
    const size_t before = ea::Transfers().size();
    laser.matchValues = {nan, INFINITY, -INFINITY, nan};
    EXPECT_EQ(laser.MatchHeadSettings(), 15);
    EXPECT_EQ(ea::Transfers().size(), before);  // nothing written

    laser.currentFullScale = 0.0;  // a bare head: no code for any current
    laser.matchValues = {1.0, 0.5, 0.5, 20.0};
    EXPECT_EQ(laser.MatchHeadSettings(), 1);
}

TEST_F(CommonHead, AFailedMatchKeepsWhatWasProgrammedBeforeIt) {
    CommonLaser &laser = Head();
    laser.currentFullScale = 2.0;
    laser.powerFullScale = 1.0;
    laser.matchValues = {1.0, 0.5, 0.25, 15.5};  // a negative set-point code
    EXPECT_EQ(FailureText([&] { laser.MatchHeadSettings(); }), "Invalid data");
    EXPECT_EQ(Supply().Dac().Memory(), 256);
}

TEST_F(CommonHead, MatchValuesLoadFromEitherMemoryInItsByteOrder) {
    const float values[] = {1.5f, 0.75f, 0.5f, 22.0f};
    const uint16_t offsets[] = {0x190, 0x194, 0x198, 0x19C};
    const uint16_t secondaryOffsets[] = {0x860, 0x86C, 0x870, 0x904};
    for (int i = 0; i < 4; ++i) {
        Supply().WriteSingle(kMemory, offsets[i], values[i], ByteOrder::MostSignificantFirst);
        Supply().WriteSingle(kSecondMemory, secondaryOffsets[i], values[3 - i],
                             ByteOrder::LeastSignificantFirst);
    }
    CommonLaser &laser = Head();
    laser.LoadMatchValues();
    EXPECT_EQ(laser.matchValues, (std::array<double, 4>{1.5, 0.75, 0.5, 22.0}));
    laser.LoadMatchValuesSecondary();
    EXPECT_EQ(laser.matchValues, (std::array<double, 4>{22.0, 0.5, 0.75, 1.5}));

    laser.matchValueDescriptors[2].reset();
    EXPECT_EQ(FailureText([&] { laser.LoadMatchValues(); }), "Invalid command");
}

TEST_F(CommonHead, DigitalWordsHoldPortOneHighAndReadItFirst) {
    Supply().SetExternalLevels(0x40, 1, 0x12);
    Supply().SetExternalLevels(0x40, 0, 0x34);
    CommonLaser &laser = Head();
    const size_t before = ea::Transfers().size();
    EXPECT_EQ(laser.GetSupplyDigitalIo(), 0x1234);
    const std::vector<EmulatedTransfer> log = ea::Transfers();
    ASSERT_GT(log.size(), before);
    EXPECT_EQ(log[before].control[0], 0x40);
    EXPECT_EQ(log[before].control[1], 0x01);
    EXPECT_EQ(log.back().control[1], 0x00);

    Supply().SetExternalLevels(0x44, 1, 0xAB);
    Supply().SetExternalLevels(0x48, 0, 0xCD);
    EXPECT_EQ(Head().GetHeadDigitalIo(), 0xAB00);
    EXPECT_EQ(Head().GetSupplyGlueInputs(), 0x00CD);
    EXPECT_EQ(Head().GetSupplyGlueOutputs(), 0x0000);
}

// One pin of the base hardware, read through an operation.
struct PinReading {
    const char *name;
    int (CommonLaser::*read)();
    uint8_t expander, port, mask;
    bool inverted;
};

TEST_F(CommonHead, StateBitsReadTheirPins) {
    const PinReading pins[] = {
        {"key switch", &CommonLaser::GetKeySwitchState, 0x48, 0, 0x02, true},
        {"interlock", &CommonLaser::GetInterlockState, 0x48, 0, 0x01, false},
        {"analog", &CommonLaser::GetAnalogModeState, 0x48, 1, 0x04, false},
        {"fan", &CommonLaser::GetFanState, 0x48, 1, 0x10, true},
        {"laser", &CommonLaser::GetLaserState, 0x40, 0, 0x01, true},
        {"control mode", &CommonLaser::GetControlModeState, 0x48, 1, 0x01, false},
    };
    for (const PinReading &pin : pins) {
        Supply().SetExternalLevels(pin.expander, pin.port, pin.mask);
        EXPECT_EQ((Head().*pin.read)(), pin.inverted ? 0 : 1) << pin.name;
        Supply().SetExternalLevels(pin.expander, pin.port, static_cast<uint8_t>(~pin.mask));
        EXPECT_EQ((Head().*pin.read)(), pin.inverted ? 1 : 0) << pin.name;
        Supply().SetExternalLevels(pin.expander, pin.port, 0);
    }
}

TEST_F(CommonHead, CommandBitsDriveTheGlueOutputs) {
    CommonLaser &laser = Head();
    auto outputs = [&] { return Supply().Expander(0x4A).Output(0); };
    Supply().SetExternalLevels(0x4A, 0, 0x00);

    laser.SetShutterCommand(1);
    EXPECT_EQ(outputs() & 0x01, 0x01);
    EXPECT_EQ(laser.GetShutterCommand(), 1);
    EXPECT_EQ(laser.GetShutterState(), laser.GetShutterCommand());
    laser.SetKeySwitchCommand(1);
    EXPECT_EQ(outputs() & 0x20, 0x20);
    EXPECT_EQ(laser.GetKeySwitchCommand(), 1);
    laser.SetAnalogModeCommand(1);
    EXPECT_EQ(outputs() & 0x10, 0x10);
    EXPECT_EQ(laser.GetAnalogModeCommand(), 1);
    EXPECT_EQ(outputs(), 0x31);

    // Remote and control mode are active low.
    laser.SetRemoteCommand(1);
    EXPECT_EQ(outputs() & 0x08, 0x00);
    EXPECT_EQ(laser.GetRemoteCommand(), 1);
    laser.SetRemoteCommand(0);
    EXPECT_EQ(outputs() & 0x08, 0x08);
    EXPECT_EQ(laser.GetRemoteCommand(), 0);

    laser.currentFullScale = 2.0;
    laser.SetCurrentCommand(1.0);
    laser.SetControlModeCommand(1);
    EXPECT_EQ(Supply().Dac().Output(), 0);  // the current command is zeroed first
    EXPECT_EQ(outputs() & 0x04, 0x00);
    EXPECT_EQ(laser.GetControlModeCommand(), 1);

    laser.SetShutterCommand(0);
    EXPECT_EQ(laser.GetShutterCommand(), 0);
    EXPECT_EQ(Supply().Expander(0x4A).Config(0), 0xC2);  // only the driven pins are outputs
}

TEST_F(CommonHead, OperationsWithoutCommonHardwareAreInvalidCommands) {
    CommonLaser &laser = Head();
    double (CommonLaser::*const readings[])() = {
        &CommonLaser::GetBrfSetpoint, &CommonLaser::GetShgSetpoint,
        &CommonLaser::GetBrfTemperature, &CommonLaser::GetShgTemperature,
        &CommonLaser::GetThgTemperature, &CommonLaser::GetEtaTemperature,
        &CommonLaser::GetBrfTemperatureCommand, &CommonLaser::GetShgTemperatureCommand,
        &CommonLaser::GetThgTemperatureCommand, &CommonLaser::GetEtaTemperatureCommand,
        &CommonLaser::GetBrfDrive, &CommonLaser::GetShgDrive,
        &CommonLaser::GetThgDrive, &CommonLaser::GetEtaDrive,
    };
    for (auto reading : readings) {
        EXPECT_EQ(FailureText([&] { (laser.*reading)(); }), "Invalid command");
    }
    EXPECT_EQ(FailureText([&] { laser.SetBrfSetpoint(1.0); }), "Invalid command");
    EXPECT_EQ(FailureText([&] { laser.SetShgSetpoint(1.0); }), "Invalid command");
}

TEST_F(CommonHead, AnEmptyDescriptorIsAnInvalidCommand) {
    CommonLaser &laser = Head();
    laser.fanBit.reset();
    laser.mainTemperaturePot.reset();
    laser.supplyIoDescriptor.reset();
    laser.configByteDescriptors[1].reset();
    laser.secondaryMatchDescriptors[0].reset();
    EXPECT_EQ(FailureText([&] { laser.GetFanState(); }), "Invalid command");
    EXPECT_EQ(FailureText([&] { laser.SetMainTemperatureCommand(25.0); }), "Invalid command");
    EXPECT_EQ(FailureText([&] { laser.GetSupplyDigitalIo(); }), "Invalid command");
    EXPECT_EQ(FailureText([&] { laser.GetConfigByte1(); }), "Invalid command");
    EXPECT_EQ(FailureText([&] { laser.LoadMatchValuesSecondary(); }), "Invalid command");
    // A temperature outside the match span never reaches the potentiometer.
    EXPECT_EQ(laser.MatchMainTemperature(40.0), 8);
    EXPECT_EQ(FailureText([&] { laser.MatchMainTemperature(25.0); }), "Invalid command");
}

}  // namespace

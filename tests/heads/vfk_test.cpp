// The Vfk head on the "vfk" and "vgk" presets. Expected replies are worked out by hand from the
// preset: singles stored least significant byte first, status words first byte most significant.
#include <cmath>
#include <limits>

#include "heads/head_models.h"
#include "heads/vfk.h"
#include "stage_head_fixture.h"

namespace stage_head_test {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Offsets in the head memory.
constexpr uint16_t kBrfStatus = 0x184, kShgStatus = 0x1C4, kThgStatus = 0x204, kEtaStatus = 0x244;
constexpr uint16_t kCurrentLimitWord = 0x328, kPowerLimitWord = 0x308, kPowerCommandWord = 0x310,
                   kSetPointWord = 0x288, kPowerFullScaleWord = 0x340;

class VfkHead : public StageHeadTest {
protected:
    void SetUp() override { Prepare("vfk"); }
    void Prepare(const std::string &preset) {
        UsePreset(preset);
        // Supply inputs at their quiet levels: digital port 0 bit 4 high, glue bit 0 high.
        supply->SetExternalLevels(kSupplyIo, 0, 0x10);
        supply->SetExternalLevels(kGlueInputs, 0, 0x01);
    }
    void Build() { StageHeadTest::Build(CreateVfk); }
};

TEST_F(VfkHead, AnswersFromItsHeadMemory) {
    supply->SetAdcCode(kMainAdc, 0xE4, 1024);  // power
    supply->SetAdcCode(kMainAdc, 0x84, 2048);  // current
    supply->SetAdcCode(kMainAdc, 0x94, 2048);  // main temperature divider: 10 kOhm
    Build();
    const auto &vfk = dynamic_cast<Vfk &>(*head);
    EXPECT_EQ(vfk.powerFullScale, double{0.0019999998f});
    EXPECT_EQ(vfk.currentFullScale, 100.0);
    EXPECT_EQ(vfk.powerDisplayFactor, 1000.0);
    EXPECT_EQ(vfk.mainDriveFullScale, 48.0);
    EXPECT_STREQ(vfk.boardRevisionCopy.data(), "B2");
    EXPECT_STREQ(vfk.headIdCopy.data(), "VFK-1042");

    const Answer answers[] = {
        {"?HTYPE", "VFK"},         {"?HID", "VFK-1042"},     {"?HBDREV", "B2"},
        {"?LASERMODEL", "Pellion RK-UV"},                    {"?WAVELENGTH", "355.000"},
        {"?HH", "1234.500"},       {"?EEH", "987.250"},      {"?CFG0", "5a"},
        {"?CFG1", "c3"},           {"?TBRF", "45.250"},      {"?TSHG", "49.875"},
        {"?TTHG", "38.500"},       {"?TETA", "30.125"},      {"?TBRFCMD", "45.000"},
        {"?TSHGCMD", "50.000"},    {"?TTHGCMD", "38.500"},   {"?TETACMD", "30.000"},
        {"?BRFD", "1.500"},        {"?SHGD", "-0.750"},      {"?THGD", "0.250"},
        {"?ETAD", "2.000"},        {"?FF", "0000"},          {"?POWERUNITS", "W"},
        // The supply's converters, on the head's scales; power words are kilowatts, shown in W.
        {"?P", "0.500"},             {"?C", "50.000"},         {"?TMAIN", "25.002"},
    };
    for (const Answer &answer : answers) {
        EXPECT_EQ(Send(answer.command), answer.reply) << answer.command;
    }
}

TEST_F(VfkHead, ReadsEachWordOnceAsASingleLeastSignificantByteFirst) {
    const uint8_t hundred[] = {0x00, 0x00, 0xC8, 0x42};
    supply->WriteMemory(kMemory, 0x18C, hundred);
    const uint8_t fullScale[] = {0x00, 0x00, 0xA0, 0x40};  // 5.0
    supply->WriteMemory(kMemory, kPowerFullScaleWord, fullScale);
    // A revision of 16 characters runs into the next word without a terminator.
    supply->WriteMemory(kMemory, 0x160, std::vector<uint8_t>(20, 'R'));
    Build();
    EXPECT_EQ(head->powerFullScale, 5.0);
    EXPECT_EQ(std::string(dynamic_cast<Vfk &>(*head).boardRevisionCopy.data()),
              std::string(16, 'R'));
    const size_t before = Traffic();
    EXPECT_EQ(Send("?TBRF"), "100.000");
    const std::vector<EmulatedTransfer> log = emulated_adapter::Transfers();
    ASSERT_EQ(log.size(), before + 1);  // one read, no agreement
    EXPECT_EQ(log.back().controlCount, 3u);
    EXPECT_EQ(log.back().control[0], kMemory);
    EXPECT_EQ(log.back().control[1], 0x01);
    EXPECT_EQ(log.back().control[2], 0x8C);
    EXPECT_EQ(log.back().dataCount, 4u);
}

TEST_F(VfkHead, FaultWordCombinesSupplyInputsAndStageStatus) {
    Build();
    const struct {
        uint8_t supplyIo, glue;
        const char *flags;
    } inputs[] = {
        {0x10, 0x01, "0000"}, {0x00, 0x01, "0008"}, {0x10, 0x00, "0020"},
        {0x10, 0x09, "0100"}, {0x10, 0x05, "0200"}, {0x00, 0x0C, "0328"},
        {0xEF, 0xF3, "0008"},  // only the listed pins count
    };
    for (const auto &input : inputs) {
        supply->SetExternalLevels(kSupplyIo, 0, input.supplyIo);
        supply->SetExternalLevels(kGlueInputs, 0, input.glue);
        EXPECT_EQ(Send("?FF"), input.flags) << int(input.supplyIo) << " " << int(input.glue);
    }
    // Port 1 is not port 0.
    supply->SetExternalLevels(kSupplyIo, 0, 0x10);
    supply->SetExternalLevels(kGlueInputs, 0, 0x01);
    supply->SetExternalLevels(kSupplyIo, 1, 0x00);
    supply->SetExternalLevels(kGlueInputs, 1, 0xFF);
    EXPECT_EQ(Send("?FF"), "0000");

    for (uint16_t status : {kBrfStatus, kShgStatus, kThgStatus, kEtaStatus}) {
        WriteStatus(kMemory, status, {0x02, 0x00, 0x00, 0x00});
    }
    EXPECT_EQ(Send("?FF"), "F000");
    // Only the two lowest bits of the first byte are the stage's fault bits.
    WriteStatus(kMemory, kBrfStatus, {0x01, 0x00, 0x00, 0x00});
    WriteStatus(kMemory, kShgStatus, {0xFC, 0xFF, 0xFF, 0xFF});
    WriteStatus(kMemory, kThgStatus, {0x00, 0x00, 0x00, 0x03});
    WriteStatus(kMemory, kEtaStatus, {0x03, 0x00, 0x00, 0x00});
    EXPECT_EQ(Send("?FF"), "9000");
}

TEST_F(VfkHead, MatchProgramsTheHeadsOwnValues) {
    Build();
    EXPECT_EQ(Send("MATCH=1"), "0000");
    // 40 A of 100 A, 1.5 W and 1.0 W of 2 W, 25 degrees Celsius.
    EXPECT_EQ(supply->Wiper(kMainPot, kCurrentLimitChannel), 102);
    EXPECT_EQ(supply->Pot(kMainPot).StoredWiper(kCurrentLimitChannel), 102);
    EXPECT_EQ(supply->Wiper(kMainPot, kPowerLimitChannel), 191);
    EXPECT_EQ(supply->Pot(kMainPot).StoredWiper(kPowerLimitChannel), 191);
    EXPECT_EQ(supply->Dac().Output(), 512);
    EXPECT_EQ(supply->Dac().Memory(), 512);
    EXPECT_EQ(supply->Wiper(kMainPot, kSetPointChannel), 152);
    EXPECT_EQ(supply->Pot(kMainPot).StoredWiper(kSetPointChannel), 152);
    EXPECT_EQ(head->matchValues, (std::array<double, 4>{40.0, 0.0015f, 0.001f, 25.0}));
}

TEST_F(VfkHead, MatchReportsEveryValueThatGivesNoCode) {
    const struct {
        uint16_t word;
        float value;
        const char *reply;
    } cases[] = {
        {kCurrentLimitWord, kNan, "0001"},    {kCurrentLimitWord, 1000.0f, "0001"},
        {kPowerLimitWord, kInf, "0002"},      {kPowerLimitWord, -1.0f, "0002"},
        {kPowerCommandWord, -1.0f, "0004"},   {kPowerCommandWord, 2.5f, "0004"},
        {kSetPointWord, 35.0f, "0008"},       {kSetPointWord, kNan, "0008"},
        {kSetPointWord, -kInf, "0008"},
        // Inside the accepted span but below the potentiometer's range: the write refuses it
        // after the other three are programmed.
        {kSetPointWord, 15.5f, "failure: Invalid data"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.word);
        SCOPED_TRACE(c.value);
        Prepare("vfk");
        WriteSingle(kMemory, c.word, c.value);
        Build();
        const std::string reply = Send("MATCH=1");
        EXPECT_EQ(reply, c.reply);
        // Every other quantity is programmed; the refused one keeps its value.
        const bool currentRefused = c.word == kCurrentLimitWord;
        const bool powerLimitRefused = c.word == kPowerLimitWord;
        const bool commandRefused = c.word == kPowerCommandWord;
        EXPECT_EQ(supply->Wiper(kMainPot, kCurrentLimitChannel), currentRefused ? kMidScale : 102);
        EXPECT_EQ(supply->Wiper(kMainPot, kPowerLimitChannel), powerLimitRefused ? kMidScale : 191);
        EXPECT_EQ(supply->Dac().Output(), commandRefused ? 0 : 512);
        EXPECT_EQ(supply->Wiper(kMainPot, kSetPointChannel),
                  c.word == kSetPointWord ? kMidScale : 152);
    }
}

TEST_F(VfkHead, NotANumberInMemoryIsShownOrRefusedNeverConverted) {
    WriteSingle(kMemory, 0x18C, kNan);   // BRF temperature
    WriteSingle(kMemory, 0x1D0, kInf);   // SHG drive
    WriteSingle(kMemory, 0x398, -kInf);  // head hours
    WriteSingle(kMemory, kPowerFullScaleWord, kNan);
    Build();
    EXPECT_EQ(Send("?TBRF"), "nan");
    EXPECT_EQ(Send("?SHGD"), "inf");
    EXPECT_EQ(Send("?HH"), "-inf");
    EXPECT_EQ(Send("?P"), "nan");
    // A power setting on a scale that is not a number gives no code and writes nothing.
    const size_t before = Traffic();
    EXPECT_EQ(Send("PCMD=1"), "failure: Invalid data");
    EXPECT_EQ(Traffic(), before);
    // Power limit and power command give no code; current limit and set point are programmed.
    EXPECT_EQ(Send("MATCH=1"), "0006");
    EXPECT_EQ(supply->Dac().Output(), 0);
    EXPECT_EQ(supply->Wiper(kMainPot, kPowerLimitChannel), kMidScale);
    EXPECT_EQ(supply->Wiper(kMainPot, kCurrentLimitChannel), 102);
}

// An infinite scale is no scale either: without this, "PCMD=5" would write code 0 with success.
TEST_F(VfkHead, AnInfinitePowerFullScaleCountsAsNotANumber) {
    for (const float fullScale : {kInf, -kInf}) {
        Prepare("vfk");
        WriteSingle(kMemory, kPowerFullScaleWord, fullScale);
        Build();
        EXPECT_EQ(Send("?P"), "nan");
        const size_t before = Traffic();
        for (const char *command : {"PCMD=5", "PMEM=5"}) {
            EXPECT_EQ(Send(command), "failure: Invalid data") << command;
        }
        EXPECT_EQ(Traffic(), before);
    }
}

TEST_F(VfkHead, ConfigurationBytesAndWhatTheHeadDoesNotHave) {
    Build();
    size_t before = Traffic();
    head->SetConfigByte1(0x7E);
    const std::vector<EmulatedTransfer> log = emulated_adapter::Transfers();
    ASSERT_EQ(log.size(), before + 1);
    EXPECT_STREQ(log.back().entryPoint, "I2C_Write");
    EXPECT_EQ(log.back().control[0], kMemory);
    EXPECT_EQ(log.back().control[1], 0x01);
    EXPECT_EQ(log.back().control[2], 0xA1);
    EXPECT_EQ(log.back().dataCount, 1u);
    EXPECT_EQ(log.back().data[0], 0x7E);
    EXPECT_EQ(Send("?CFG1"), "7e");
    EXPECT_EQ(Send("?CFG0"), "5a");

    // Refused before any traffic, among them the operations whose descriptors the head has not.
    before = Traffic();
    for (const char *command : {"?CFG2", "?CFG3", "?HEADDIO"}) {
        EXPECT_EQ(Send(command), "failure: Invalid command") << command;
    }
    EXPECT_EQ(FailureText([&] { head->SetConfigByte2(1); }), "Invalid command");
    EXPECT_EQ(FailureText([&] { head->SetConfigByte3(1); }), "Invalid command");
    EXPECT_EQ(FailureText([&] { head->LoadMatchValues(); }), "Invalid command");
    EXPECT_EQ(FailureText([&] { head->LoadMatchValuesSecondary(); }), "Invalid command");
    EXPECT_EQ(Traffic(), before);
}

TEST_F(VfkHead, ConstructionFailingAtAnyTransactionRaisesTheBusFailure) {
    // The identifier (8 characters and the terminator) and the board revision (2 and the
    // terminator) by agreeing reads, two each, then the power full scale in one read.
    EXPECT_EQ(FailuresAtEachTransaction("vfk", kMemory, CreateVfk), 2 * 9 + 2 * 3 + 1);
}

TEST_F(VfkHead, VgkIsTheLargerVariantWithAFaultyThgStage) {
    Prepare("vgk");
    Build();
    EXPECT_EQ(Send("?HTYPE"), "VGK");
    EXPECT_EQ(Send("?HID"), "VGK-2077");
    EXPECT_EQ(head->powerFullScale, double{0.0039999997f});
    EXPECT_EQ(Send("?FF"), "4000");
    // 60 A of 100 A, 3 W and 2 W of 4 W, 20 degrees Celsius.
    EXPECT_EQ(Send("MATCH=1"), "0000");
    EXPECT_EQ(supply->Wiper(kMainPot, kCurrentLimitChannel), 153);
    EXPECT_EQ(supply->Wiper(kMainPot, kPowerLimitChannel), 191);
    EXPECT_EQ(supply->Dac().Output(), 512);
    EXPECT_EQ(supply->Wiper(kMainPot, kSetPointChannel), 70);
}

}  // namespace
}  // namespace stage_head_test

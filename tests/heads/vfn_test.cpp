// The Vfn head on the "vfn" and "vgn" presets: its measurements in the second head memory, in the
// Vfk layout, with the main temperature loop beside the stages. Expected replies are worked out by
// hand from the preset.
#include <cmath>
#include <limits>

#include "heads/head_models.h"
#include "heads/vfn.h"
#include "stage_head_fixture.h"

namespace stage_head_test {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

// Offsets in the second head memory.
constexpr uint16_t kMainStatus = 0x284;
constexpr uint16_t kStageStatus[] = {0x184, 0x1C4, 0x204, 0x244};
constexpr uint16_t kCurrentLimitWord = 0x860, kSetPointWord = 0x904;

class VfnHead : public StageHeadTest {
protected:
    void SetUp() override { Prepare("vfn"); }
    void Prepare(const std::string &preset) {
        UsePreset(preset);
        // Glue input bit 0 high (no fault), bit 4 high (laser off).
        supply->SetExternalLevels(kGlueInputs, 0, 0x11);
    }
    void Build() { StageHeadTest::Build(CreateVfn); }

    // Writes of the main temperature set-point potentiometer since the given transfer.
    int SetPointWrites(size_t since) const {
        const std::vector<EmulatedTransfer> log = emulated_adapter::Transfers();
        int writes = 0;
        for (size_t i = since; i < log.size(); ++i) {
            const EmulatedTransfer &t = log[i];
            writes += std::string(t.entryPoint) == "I2C_Write" && t.control[0] == kMainPot &&
                      (t.control[1] == 0x00 || t.control[1] == 0x20);
        }
        return writes;
    }
};

TEST_F(VfnHead, AnswersFromItsSecondMemory) {
    supply->SetAdcCode(kMainAdc, 0x94, 2048);  // power on this supply
    supply->SetAdcCode(kMainAdc, 0xE4, 4095);  // the usual power channel, not read
    supply->SetAdcCode(kMainAdc, 0x84, 2048);  // current
    Build();
    const auto &vfn = dynamic_cast<Vfn &>(*head);
    EXPECT_EQ(vfn.powerFullScale, 0.5);
    EXPECT_EQ(vfn.currentFullScale, 20.0);
    EXPECT_EQ(vfn.powerDisplayFactor, 1000.0);
    EXPECT_EQ(vfn.mainDriveFullScale, 24.0);
    EXPECT_STREQ(vfn.boardRevisionCopy.data(), "C1");
    // Taken from the head memory before the identifier moves to the second memory.
    EXPECT_STREQ(vfn.headIdCopy.data(), "VFN-3001");

    const Answer answers[] = {
        {"?HTYPE", "VFN"},         {"?HID", "UV-3001"},      {"?HBDREV", "C1"},
        {"?LASERMODEL", "Pellion RK-UV"},                    {"?WAVELENGTH", "355.000"},
        {"?HH", "512.750"},        {"?EEH", "2048.500"},     {"?CFG0", "11"},
        {"?CFG1", "22"},           {"?TBRF", "41.500"},      {"?TSHG", "46.750"},
        {"?TTHG", "36.250"},       {"?TETA", "27.500"},      {"?TBRFCMD", "41.000"},
        {"?TSHGCMD", "47.000"},    {"?TTHGCMD", "36.000"},   {"?TETACMD", "28.000"},
        {"?BRFD", "0.500"},        {"?SHGD", "-1.250"},      {"?THGD", "0.125"},
        {"?ETAD", "1.750"},        {"?TMAIN", "25.500"},     {"?TMAINCMD", "25.000"},
        {"?MAIND", "3.250"},       {"?FAN", "1"},            {"?FF", "0000"},
        {"?POWERUNITS", "mW"},     {"?P", "250.000"},        {"?C", "10.000"},
        {"?L", "0"},
    };
    for (const Answer &answer : answers) {
        EXPECT_EQ(Send(answer.command), answer.reply) << answer.command;
    }

    // The identifier is read from the second memory.
    const size_t before = Traffic();
    Send("?HID");
    EXPECT_EQ(emulated_adapter::Transfers().at(before).control[0], kSecondMemory);
    // The laser state pin is glue input bit 4, low when the laser is on.
    supply->SetExternalLevels(kGlueInputs, 0, 0x01);
    supply->SetExternalLevels(kSupplyIo, 0, 0x01);
    EXPECT_EQ(Send("?L"), "1");
}

TEST_F(VfnHead, FanAndFaultsComeFromTheMainLoopStatus) {
    Build();
    const struct {
        std::vector<uint8_t> status;
        const char *fan;
        const char *flags;
    } cases[] = {
        {{0x00, 0x01, 0x00, 0x00}, "1", "0000"},
        {{0x05, 0x00, 0x00, 0x00}, "0", "0008"},
        {{0x08, 0xFE, 0x01, 0x01}, "0", "0008"},
        {{0xF0, 0x01, 0x00, 0x00}, "1", "0000"},  // only the low four bits are the fault
    };
    // The supply's own fan pin would read "on".
    supply->SetExternalLevels(kGlueInputs, 1, 0x00);
    for (const auto &c : cases) {
        WriteStatus(kSecondMemory, kMainStatus, c.status);
        EXPECT_EQ(Send("?FAN"), c.fan) << int(c.status[0]);
        EXPECT_EQ(Send("?FF"), c.flags) << int(c.status[0]);
    }

    WriteStatus(kSecondMemory, kMainStatus, {0x00, 0x00, 0x00, 0x00});
    const struct {
        uint8_t glue;
        const char *flags;
    } inputs[] = {{0x00, "0020"}, {0x05, "0200"}, {0x09, "0000"}, {0xFE, "0220"}};
    for (const auto &input : inputs) {
        supply->SetExternalLevels(kGlueInputs, 0, input.glue);
        EXPECT_EQ(Send("?FF"), input.flags) << int(input.glue);
    }

    supply->SetExternalLevels(kGlueInputs, 0, 0x01);
    for (uint16_t status : kStageStatus) WriteStatus(kSecondMemory, status, {0x02, 0, 0, 0});
    EXPECT_EQ(Send("?FF"), "F000");
    // The preset's SHG status 0C 00 01 00 carries no stage fault bit.
    WriteStatus(kSecondMemory, kStageStatus[1], {0x0C, 0x00, 0x01, 0x00});
    WriteStatus(kSecondMemory, kMainStatus, {0x01, 0x00, 0x00, 0x00});
    EXPECT_EQ(Send("?FF"), "D008");
}

TEST_F(VfnHead, AnInfinitePowerFullScaleCountsAsNotANumber) {
    WriteSingle(kSecondMemory, 0x340, std::numeric_limits<float>::infinity());
    Build();
    EXPECT_EQ(Send("?P"), "nan");
    const size_t before = Traffic();
    EXPECT_EQ(Send("PCMD=5"), "failure: Invalid data");
    EXPECT_EQ(Traffic(), before);
}

TEST_F(VfnHead, MatchNeverProgramsTheMainTemperature) {
    for (const float setPoint : {22.0f, 35.0f, kNan}) {
        SCOPED_TRACE(setPoint);
        Prepare("vfn");
        WriteSingle(kSecondMemory, kSetPointWord, setPoint);
        Build();
        const size_t before = Traffic();
        EXPECT_EQ(Send("MATCH=1"), "0000");
        // 8 A of 20 A, 0.375 W and 0.25 W of 0.5 W.
        EXPECT_EQ(supply->Wiper(kMainPot, kCurrentLimitChannel), 102);
        EXPECT_EQ(supply->Pot(kMainPot).StoredWiper(kCurrentLimitChannel), 102);
        EXPECT_EQ(supply->Wiper(kMainPot, kPowerLimitChannel), 191);
        EXPECT_EQ(supply->Pot(kMainPot).StoredWiper(kPowerLimitChannel), 191);
        EXPECT_EQ(supply->Dac().Output(), 512);
        EXPECT_EQ(supply->Dac().Memory(), 512);
        EXPECT_EQ(SetPointWrites(before), 0);
        EXPECT_EQ(supply->Wiper(kMainPot, kSetPointChannel), kMidScale);
        EXPECT_EQ(head->matchValues[0], 8.0);
    }

    // A value from memory that is not a number gives no code.
    Prepare("vfn");
    WriteSingle(kSecondMemory, kCurrentLimitWord, kNan);
    Build();
    EXPECT_EQ(Send("MATCH=1"), "0001");
    EXPECT_EQ(supply->Wiper(kMainPot, kCurrentLimitChannel), kMidScale);
}

TEST_F(VfnHead, RefusesWhatTheSupplyDoesNotHaveBeforeAnyTraffic) {
    Build();
    const size_t before = Traffic();
    for (const char *command : {"?SH", "SHCMD=1", "SHCMD=0", "?SHCMD", "?REM", "REM=1", "?PSDIO",
                                "?HEADDIO", "?CFG2", "?CFG3"}) {
        EXPECT_EQ(Send(command), "failure: Invalid command") << command;
    }
    EXPECT_EQ(FailureText([&] { head->SetMainTemperatureCommand(25.0); }), "Invalid command");
    EXPECT_EQ(FailureText([&] { head->SetConfigByte3(1); }), "Invalid command");
    EXPECT_EQ(Traffic(), before);

    // The configuration bytes it has are in the second memory.
    head->SetConfigByte0(0xA5);
    EXPECT_EQ(supply->ReadMemory(kSecondMemory, 0x85A, 1).at(0), 0xA5);
    EXPECT_EQ(Send("?CFG0"), "a5");
}

TEST_F(VfnHead, PresetsPairTheHeadWithItsSecondMemory) {
    const struct {
        const char *preset, *type, *secondType;
    } pairs[] = {{"vfn", "VFN", "VFK"},
                 {"vfn-mismatch", "VFN", "VGK"},
                 {"vgn", "VGN", "VGK"},
                 {"vgn-mismatch", "VGN", "VFK"}};
    for (const auto &pair : pairs) {
        Prepare(pair.preset);
        CommonLaser probe(AdapterTransport{&opened});
        EXPECT_STREQ(probe.GetHeadType(), pair.type) << pair.preset;
        EXPECT_STREQ(probe.GetSecondaryHeadType(), pair.secondType) << pair.preset;
    }
}

TEST_F(VfnHead, ConstructionFailingAtAnyTransactionRaisesTheBusFailure) {
    // Head memory: the identifier (8 characters and the terminator) and the board revision (2 and
    // the terminator), by agreeing reads of two each. Second memory: the power full scale.
    EXPECT_EQ(FailuresAtEachTransaction("vfn", kMemory, CreateVfn), 2 * 9 + 2 * 3);
    EXPECT_EQ(FailuresAtEachTransaction("vfn", kSecondMemory, CreateVfn), 1);
}

}  // namespace
}  // namespace stage_head_test

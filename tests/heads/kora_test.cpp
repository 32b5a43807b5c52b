// Kora and P532 heads on a virtual supply, reached through the emulated adapter library. Expected
// values are worked out by hand from the head images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "MavoZARP.h"
#include "base/failure_message.h"
#include "bus/head_presets.h"
#include "bus/presets_kora.h"
#include "heads/adapter_supply_fixture.h"
#include "heads/kora.h"
#include "heads/reply_text.h"
#include "interpreter/interpreter.h"
#include "support/emulated_adapter_controls.h"
#include "support/failure_text.h"
#include "transport/adapter_library.h"

namespace {

namespace ea = emulated_adapter;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr uint8_t kStageAdc = 0x96;
constexpr uint8_t kMainPot = 0x58;

// Reads addressed to `address` with these command bytes since the last reset.
int ReadsOf(uint8_t address, std::vector<uint8_t> command) {
    int reads = 0;
    for (const EmulatedTransfer &transfer : ea::Transfers()) {
        if (std::string(transfer.entryPoint) == "I2C_Write") continue;
        if (transfer.controlCount != command.size() + 1 || transfer.control[0] != address) continue;
        if (std::equal(command.begin(), command.end(), transfer.control + 1)) ++reads;
    }
    return reads;
}

class KoraHead : public AdapterSupplyTest {
protected:
    Kora Make(const sim::KoraHeadImage &image) {
        sim::WriteKoraHead(Supply(), image);
        return Kora(Link());
    }
};

TEST(KoraBoard, RevisionBandsAndPlatinumEquation) {
    const struct {
        BoardBand band;
        std::vector<const char *> revisions;
    } bands[] = {
        {BoardBand::Band1, {"AA", "AZ", "B"}},
        {BoardBand::Band2, {"BA", "C", "BZZZ"}},
        {BoardBand::Band3, {"CA", "Z", "ZZ"}},
        {BoardBand::None, {"A", "ZZ1", "aa", "", "\xC3\x84"}},
    };
    for (const auto &band : bands) {
        for (const char *revision : band.revisions) {
            EXPECT_EQ(ClassifyBoardRevision(revision), band.band) << revision;
        }
    }
    EXPECT_EQ(PlatinumOhmToDegC(1000.0, 1000.0), 0.0);
    EXPECT_NEAR(PlatinumOhmToDegC(1385.0, 1000.0), 99.985498871925, 1e-9);
    // The root exists up to about 7612.5 ohm; beyond it, and for a zero nominal, 0.0.
    EXPECT_NEAR(PlatinumOhmToDegC(7612.0, 1000.0), 3355.239538, 1e-5);
    EXPECT_EQ(PlatinumOhmToDegC(7613.0, 1000.0), 0.0);
    EXPECT_EQ(PlatinumOhmToDegC(1385.0, 1e-16), 0.0);
}

TEST_F(KoraHead, Band3CalibrationTakesDefaultsOutsideItsRanges) {
    sim::KoraHeadImage image = sim::KoraHead("CA");
    image.stages[kBrfStage].calibration = {kNaN, 0.999f, 1e9f, 2e9f, 100.5f};
    image.stages[kShgStage].calibration = {1.0f, kInf, -kInf, 5000.0f, -100.0f};
    image.stages[kEtaStage].calibration = {kNaN, kNaN, kNaN, kNaN, kNaN};
    image.stages[kThgStage].calibration = {1e9f, 1e9f, 1e9f, 1e9f, 100.0f};
    Kora head = Make(image);
    // Series resistance and gain, fixed, parallel, upper bridge resistor, offset.
    const double expected[][5] = {
        {1194.0, 6490.0, 1e9, 10874.0, 0.0},
        {1.0, 6490.0, 243.0, 5000.0, -100.0},  // the ends of the ranges are accepted
        {1213.0, 6490.0, 243.0, 11049.0, 0.0},
        {1e9, 1e9, 1e9, 1e9, 100.0},
    };
    for (size_t stage = 0; stage < kKoraStageCount; ++stage) {
        SCOPED_TRACE(stage);
        EXPECT_EQ(head.sensors[stage].seriesResistance, expected[stage][0]);
        EXPECT_EQ(head.setpoints[stage].gain, expected[stage][0]);
        EXPECT_EQ(head.setpoints[stage].fixedResistance, expected[stage][1]);
        EXPECT_EQ(head.setpoints[stage].parallelResistance, expected[stage][2]);
        EXPECT_EQ(head.sensors[stage].bridgeResistance1, expected[stage][3]);
        EXPECT_EQ(head.sensors[stage].offset, expected[stage][4]);
        EXPECT_EQ(head.sensors[stage].bridgeResistance2, 10000.0);
    }
}

TEST_F(KoraHead, CalibrationOfDividerBoardsAndBoardsInNoBand) {
    sim::KoraHeadImage image = sim::KoraHead("BA");
    image.stages[kBrfStage].calibration = {0.5f, 114500.0f, 2e9f, 7.0f, 9.0f};
    image.stages[kThgStage].calibration = {kNaN, kNaN, kInf, kNaN, kNaN};
    Kora divider = Make(image);
    EXPECT_EQ(divider.sensors[kBrfStage].seriesResistance, 100.0);
    EXPECT_EQ(divider.setpoints[kBrfStage].fixedResistance, 114500.0);
    EXPECT_EQ(divider.setpoints[kBrfStage].parallelResistance, 10000.0);
    EXPECT_EQ(divider.setpoints[kThgStage].fixedResistance, 118000.0);  // THG's own default
    // Words 3 and 4 belong to the bridge these boards lack.
    EXPECT_EQ(divider.sensors[kBrfStage].bridgeResistance1, 0.0);
    EXPECT_EQ(divider.sensors[kBrfStage].offset, 0.0);

    image.identity.boardRevision = "ZZ1";
    Kora noBand = Make(image);
    EXPECT_EQ(noBand.sensors[kBrfStage].seriesResistance, 0.5);
    EXPECT_EQ(noBand.setpoints[kBrfStage].parallelResistance, 2e9);
    EXPECT_EQ(noBand.sensors[kBrfStage].offset, 9.0);
    EXPECT_EQ(noBand.sensors[kBrfStage].bridgeResistance2, 0.0);
    EXPECT_TRUE(std::isnan(noBand.setpoints[kThgStage].gain));
}

TEST_F(KoraHead, ReadingsByBand) {
    const struct {
        const char *revision;
        bool defaults;  // every calibration word no number
        const char *command;
        const char *reply;
    } readings[] = {
        {"AA", true, "?TBRF", "40.289"},     // code 505, 10 V divider
        {"AA", true, "?BRFD", "1.233"},      // the sensor's channel 0xC4
        {"AA", true, "?TBRFCMD", "-1.000"},  // no readable set point on band 1
        {"BA", true, "?TBRF", "39.958"},     // code 1009, 5 V divider
        {"BA", true, "?BRFD", "1.232"},
        {"BA", true, "?TBRFCMD", "48.969"},  // wiper 128: 1190 ohm
        {"CB", false, "?TBRF", "40.919"},    // code 909, reference 1196.5, offset 0.25
        {"CB", false, "?TSHG", "44.499"},    // code 1204, reference 1213, offset -0.5
        {"CB", false, "?TBRFCMD", "50.701"}, // wiper 128
        {"CB", false, "?TTHGCMD", "57.847"}, // wiper 160
        {"CB", false, "?BRFD", "4.395"},     // channel 0x84, code 1200, 15 V
        {"CB", false, "?ETAD", "5.127"},     // channel 0xA4, code 1400
    };
    for (const auto &reading : readings) {
        sim::KoraHeadImage image = sim::KoraHead(reading.revision);
        if (reading.defaults) {
            for (auto &stage : image.stages) stage.calibration.fill(kNaN);
        }
        Kora head = Make(image);
        EXPECT_EQ(ReplyText(head, reading.command), reading.reply)
            << reading.revision << " " << reading.command;
    }
    // Band 3 with every word defaulted, sensor at code 0: R = 1098.03 ohm.
    sim::KoraHeadImage image = sim::KoraHead("CA");
    for (auto &stage : image.stages) stage.calibration.fill(kNaN);
    image.stages[kBrfStage].sensorCode = 0;
    Kora head = Make(image);
    EXPECT_EQ(ReplyText(head, "?TBRF"), "25.177");
}

TEST_F(KoraHead, BoardInNoBandAnswersMinusOneAndReadsOnlyTheDrive) {
    Kora head = Make(sim::KoraHead("ZZ1"));
    const size_t constructionTransfers = ea::Transfers().size();
    for (const char *command : {"?TBRF", "?TTHG", "?TETA", "?TBRFCMD", "?TETACMD"}) {
        EXPECT_EQ(ReplyText(head, command), "-1.000") << command;
    }
    EXPECT_EQ(ea::Transfers().size(), constructionTransfers);
    EXPECT_EQ(ReplyText(head, "?BRFD"), "-1.000");
    EXPECT_EQ(ReadsOf(kStageAdc, {0x84}), 3);  // the median of three
}

TEST_F(KoraHead, DriveChannelFollowsTheBandAtConstruction) {
    const struct {
        const char *revision;
        uint8_t command;
    } boards[] = {{"AB", 0xD4}, {"BC", 0xD4}, {"CB", 0x94}, {"01", 0x94}};
    for (const auto &board : boards) {
        Kora head = Make(sim::KoraHead(board.revision));
        const int before = ReadsOf(kStageAdc, {board.command});
        ReplyText(head, "?SHGD");
        EXPECT_EQ(ReadsOf(kStageAdc, {board.command}) - before, 3) << board.revision;
    }
}

TEST_F(KoraHead, P532AnswersEtaFromTheThgStageInWatts) {
    sim::KoraHeadImage image = sim::P532Head();
    image.stages[kThgStage] = {.calibration = {1213.0f, 6490.0f, 243.0f, 11049.0f, 0.0f},
                               .sensorCode = 1779,
                               .driveCode = 1500,
                               .setpointWiper = 160};
    sim::WriteKoraHead(Supply(), image);
    Kora kora(Link());
    P532 p532(Link());
    const struct {
        const char *eta, *thg;
    } pairs[] = {{"?TETA", "?TTHG"}, {"?TETACMD", "?TTHGCMD"}, {"?ETAD", "?THGD"}};
    for (const auto &pair : pairs) {
        EXPECT_NE(ReplyText(kora, pair.eta), ReplyText(kora, pair.thg)) << pair.eta;
        EXPECT_EQ(ReplyText(p532, pair.eta), ReplyText(p532, pair.thg)) << pair.eta;
    }
    EXPECT_EQ(ReplyText(p532, "?ETAD"), "5.493");  // code 1500 x 15 / 4096
    EXPECT_EQ(ReplyText(p532, "?POWERUNITS"), "W");
    EXPECT_EQ(ReplyText(kora, "?POWERUNITS"), "mW");
    EXPECT_EQ(ReplyText(p532, "?WAVELENGTH"), "532.000");
    EXPECT_EQ(ReplyText(kora, "?WAVELENGTH"), "355.000");

    Supply().SetAdcCode(0x90, 0xE4, 2048);
    EXPECT_EQ(ReplyText(p532, "?P"), "2.500");     // half of 5 W
    EXPECT_EQ(ReplyText(kora, "?P"), "2500.000");  // in milliwatts
}

TEST_F(KoraHead, P532LoadsItsCalibrationTwice) {
    sim::WriteKoraHead(Supply(), sim::P532Head());
    const std::vector<uint8_t> firstWord = {0x01, 0x20}, revision = {0x01, 0x60};
    Kora kora(Link());
    const int koraWordReads = ReadsOf(0xA4, firstWord);
    const int koraRevisionReads = ReadsOf(0xA4, revision);
    P532 p532(Link());
    EXPECT_GT(koraWordReads, 0);
    EXPECT_EQ(ReadsOf(0xA4, firstWord) - koraWordReads, 2 * koraWordReads);
    // Kora reads the revision for its drive channels and for its one calibration load.
    EXPECT_EQ(2 * (ReadsOf(0xA4, revision) - koraRevisionReads), 3 * koraRevisionReads);
    EXPECT_EQ(p532.powerDisplayFactor, 1.0);
    EXPECT_EQ(kora.powerDisplayFactor, 1000.0);
    EXPECT_EQ(p532.sensors[kBrfStage].seriesResistance, 1196.5);
}

TEST_F(KoraHead, MatchDividesMilliwattLimits) {
    const struct {
        bool p532;
        float limit, command;
        uint8_t limitWiper;
        uint16_t commandCode;
    } cases[] = {
        // Kora on a 5 W scale: from 3.0 on, limit and command are milliwatts.
        {false, 2.5f, 2.0f, 128, 409},
        {false, 3.0f, 2.0f, 0, 0},
        {false, 5.0f, 4.0f, 0, 1},
        // P532 on a 1000 W scale: from 300 on.
        {true, 250.0f, 200.0f, 64, 205},
        {true, 300.0f, 200.0f, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.limit);
        sim::KoraHeadImage image = c.p532 ? sim::P532Head() : sim::KoraHead("CB");
        image.identity.powerFullScale = c.p532 ? 1000.0f : 5.0f;
        image.identity.matchValues = {30.0f, c.limit, c.command, 25.0f};
        sim::WriteKoraHead(Supply(), image);
        std::unique_ptr<Kora> head =
            c.p532 ? std::make_unique<P532>(Link()) : std::make_unique<Kora>(Link());
        EXPECT_EQ(ReplyText(*head, "MATCH=1"), "0000");
        sim::Potentiometer &pot = Supply().Pot(kMainPot);
        EXPECT_EQ(pot.Wiper(2), c.limitWiper);
        EXPECT_EQ(pot.StoredWiper(2), c.limitWiper);
        EXPECT_EQ(Supply().Dac().Output(), c.commandCode);
        EXPECT_EQ(Supply().Dac().Memory(), c.commandCode);
        EXPECT_EQ(pot.Wiper(3), 77);   // 30 A of 100 A, never divided
        EXPECT_EQ(pot.Wiper(0), 152);  // 25 degrees Celsius
    }
    // Values that are no number, or infinite, set their quantity's bit.
    sim::KoraHeadImage image = sim::KoraHead("CB");
    image.identity.powerFullScale = 5.0f;
    image.identity.matchValues = {kNaN, kInf, kNaN, 25.0f};
    Kora head = Make(image);
    EXPECT_EQ(ReplyText(head, "MATCH=1"), "0007");
    image.identity.matchValues = {30.0f, 1.0f, -kInf, kNaN};
    sim::WriteKoraHead(Supply(), image);
    EXPECT_EQ(ReplyText(head, "MATCH=1"), "000c");
}

TEST_F(KoraHead, FaultWord) {
    Kora head = Make(sim::KoraHead("CB"));
    EXPECT_EQ(ReplyText(head, "?FF"), "0028");
    Supply().SetExternalLevels(0x40, 0, 0x10);
    Supply().SetExternalLevels(0x48, 0, 0x01);
    EXPECT_EQ(ReplyText(head, "?FF"), "0000");
    Supply().SetExternalLevels(0x48, 0, 0xFF & ~0x01);
    Supply().SetExternalLevels(0x48, 1, 0xFF);  // port 1 plays no part
    EXPECT_EQ(ReplyText(head, "?FF"), "0320");
}

TEST_F(KoraHead, BadMemoryContents) {
    // A full scale that is no number, or infinite, falls back to 100 mW.
    for (float fullScale : {kNaN, kInf}) {
        sim::KoraHeadImage image = sim::KoraHead("CB");
        image.identity.powerFullScale = fullScale;
        EXPECT_EQ(Make(image).powerFullScale, 0.1);
    }
    // A revision and an identifier of 16 characters with no zero after them: the full scale
    // (40 A0 00 00) and the first calibration word (44 95 90 00) that follow are not part of them.
    sim::KoraHeadImage image = sim::KoraHead("CCCCCCCCCCCCCCCC");
    image.identity.identifier = "K123456789ABCDEF";
    image.identity.powerFullScale = 5.0f;
    Kora head = Make(image);
    EXPECT_STREQ(head.boardRevisionText.data(), "CCCCCCCCCCCCCCCC");
    EXPECT_EQ(head.Band(), BoardBand::Band3);
    EXPECT_STREQ(head.headIdCopy.data(), "K123456789ABCDEF");

    // An erased memory: no band, a full scale that is no number.
    sim::FindHeadPreset("blank-memory")->apply(Supply());
    Kora blank(Link());
    EXPECT_EQ(blank.powerFullScale, 0.1);
    EXPECT_EQ(ReplyText(blank, "?TBRF"), "-1.000");

    ea::FailNext("I2C_Read", 1000);
    EXPECT_EQ(FailureText([&] { Kora failing(Link()); }), kI2cError);
    EXPECT_EQ(FailureText([&] { P532 failing(Link()); }), kI2cError);
}

TEST_F(KoraHead, PresetsDescribeWorkingHeads) {
    const struct {
        const char *preset;
        const char *command;
        const char *reply;
    } answers[] = {
        {"kora-band1", "?TBRFCMD", "-1.000"}, {"kora-band2", "?TTHGCMD", "62.627"},
        {"kora-band3", "?TBRF", "40.919"},    {"kora-band3", "MATCH=1", "0000"},
        {"kora-no-band", "?TBRF", "-1.000"},  {"p532", "?HTYPE", "P532"},
    };
    for (const auto &answer : answers) {
        const sim::HeadPreset *preset = sim::FindHeadPreset(answer.preset);
        ASSERT_NE(preset, nullptr) << answer.preset;
        preset->apply(Supply());
        Kora head(Link());
        EXPECT_EQ(ReplyText(head, answer.command), answer.reply)
            << answer.preset << " " << answer.command;
    }
}

}  // namespace

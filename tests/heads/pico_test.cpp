// PicoX and Pico00 heads on a virtual supply, reached through the emulated adapter library.
// Expected values are worked out by hand from the head images.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>

#include "MavoZARP.h"
#include "base/failure_message.h"
#include "bus/head_presets.h"
#include "bus/presets_pico.h"
#include "heads/adapter_supply_fixture.h"
#include "heads/pico.h"
#include "heads/reply_text.h"
#include "interpreter/interpreter.h"
#include "support/emulated_adapter_controls.h"
#include "support/failure_text.h"
#include "transport/adapter_library.h"

namespace {

namespace ea = emulated_adapter;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr uint8_t kHeadPot = 0x5C;
constexpr uint8_t kMainPot = 0x58;
constexpr uint8_t kBrfPotChannel = 1;
constexpr uint8_t kShgPotChannel = 0;
const std::string kInvalidCommandReply = std::string("failure: ") + kInvalidCommand;

class PicoHead : public AdapterSupplyTest {
protected:
    sim::Potentiometer &HeadPot() { return Supply().Pot(kHeadPot); }
    PicoX MakePicoX(const sim::PicoHeadImage &image) {
        sim::WritePicoHead(Supply(), image);
        return PicoX(Link());
    }
    Pico00 MakePico00(const sim::PicoHeadImage &image) {
        sim::WritePicoHead(Supply(), image);
        return Pico00(Link());
    }
};

TEST(PicoWavelength, DecodedFromLetterAndDigit) {
    const struct {
        const char *id;
        double nanometres;
    } ids[] = {{"G12", 532.0}, {"A7x", 488.0}, {"R0", 639.0}, {"Y9", 577.0}, {"GX1", 0.0},
               {"L5", 0.0},    {"g1", 0.0},    {"G", 0.0},    {"", 0.0},     {"G:", 0.0}};
    for (const auto &id : ids) EXPECT_EQ(WavelengthFromHeadId(id.id), id.nanometres) << id.id;
}

TEST_F(PicoHead, ReferencesFromMemoryOnlyOnPicoXRevision640) {
    PicoX memory = MakePicoX(sim::PicoXHead("640"));
    EXPECT_EQ(memory.thermistors[kPicoBrfStage].referenceVoltage, double(2.45f));
    EXPECT_EQ(memory.thermistors[kPicoShgStage].referenceVoltage, double(2.6f));
    EXPECT_EQ(ReplyText(memory, "?TBRF"), "35.479");  // code 782
    EXPECT_EQ(ReplyText(memory, "?TSHG"), "39.530");  // code 979

    // Reference inputs at codes 2048 and 2089; a longer text beginning "640" does not match.
    for (const char *revision : {"710", "6400", ""}) {
        PicoX inputs = MakePicoX(sim::PicoXHead(revision));
        EXPECT_EQ(inputs.thermistors[kPicoBrfStage].referenceVoltage, 2.5) << revision;
        EXPECT_EQ(inputs.thermistors[kPicoShgStage].referenceVoltage, 2.550048828125) << revision;
        EXPECT_EQ(ReplyText(inputs, "?TBRF"), "34.990") << revision;
    }
    Pico00 pico00 = MakePico00(sim::PicoXHead("640"));
    EXPECT_EQ(pico00.thermistors[kPicoBrfStage].referenceVoltage, 2.5);
    EXPECT_EQ(pico00.thermistors[kPicoShgStage].referenceVoltage, 2.550048828125);

    // Implausible candidates fall back to 2.5 V; 0 and 10 V are used.
    sim::PicoHeadImage image = sim::PicoXHead("640");
    const struct {
        float candidate;
        double used;
    } words[] = {{12.0f, 2.5}, {10.0f, 10.0}, {10.000001f, 2.5}, {kNaN, 2.5}, {-0.5f, 2.5},
                 {0.0f, 0.0}};
    for (const auto &word : words) {
        image.stages[kPicoBrfStage].referenceVolts = word.candidate;
        EXPECT_EQ(MakePicoX(image).thermistors[kPicoBrfStage].referenceVoltage, word.used)
            << word.candidate;
    }
}

TEST_F(PicoHead, ThermistorAndDriveReadings) {
    sim::PicoHeadImage image = sim::PicoXHead("710");
    image.stages[kPicoBrfStage].thermistorCode = 2048;  // R = 2.5 x 2495 / 2.5 V = 2495 ohm
    image.stages[kPicoShgStage].thermistorCode = 0;
    PicoX head = MakePicoX(image);
    EXPECT_EQ(ReplyText(head, "?TBRF"), "59.927");
    EXPECT_EQ(ReplyText(head, "?TSHG"), std::string("failure: ") + kInvalidData);
    EXPECT_EQ(ReplyText(head, "?BRFD"), "2.324");  // code 1500 on 0xD4
    EXPECT_EQ(ReplyText(head, "?SHGD"), "2.861");  // code 1610 on 0xC4
    Supply().SetAdcCode(0x94, 0xD4, 0);
    EXPECT_EQ(ReplyText(head, "?BRFD"), "-5.000");
    for (const char *command : {"?TTHG", "?TETACMD", "?THGD"}) {
        EXPECT_EQ(ReplyText(head, command), kInvalidCommandReply) << command;
    }
}

TEST_F(PicoHead, SetpointsAsTemperatureAndResistance) {
    PicoX head = MakePicoX(sim::PicoXHead("710"));
    EXPECT_EQ(ReplyText(head, "?TBRFCMD"), "44.758");  // wiper 100: 4409.947 ohm
    EXPECT_EQ(ReplyText(head, "?TSHGCMD"), "43.381");  // wiper 120: 4655.206 ohm
    EXPECT_NEAR(head.GetShgSetpoint(), 4655.205553, 1e-6);
    HeadPot().SetWiper(kBrfPotChannel, 0);
    EXPECT_NEAR(head.GetBrfSetpoint(), 3490.472378, 1e-6);
    EXPECT_EQ(ReplyText(head, "?TBRFCMD"), "50.833");
    HeadPot().SetWiper(kBrfPotChannel, 255);
    EXPECT_NEAR(head.GetBrfSetpoint(), 7453.103964, 1e-6);
    EXPECT_EQ(ReplyText(head, "?TBRFCMD"), "31.839");
}

TEST_F(PicoHead, SetpointResistanceRoundTripsForEveryCode) {
    PicoX head = MakePicoX(sim::PicoXHead("710"));
    sim::Potentiometer &pot = HeadPot();
    for (int code = 0; code <= 255; ++code) {
        pot.SetWiper(kBrfPotChannel, static_cast<uint8_t>(code));
        pot.SetWiper(kShgPotChannel, static_cast<uint8_t>(255 - code));
        const double brf = head.GetBrfSetpoint();
        const double shg = head.GetShgSetpoint();
        pot.SetWiper(kBrfPotChannel, 77);
        pot.SetWiper(kShgPotChannel, 77);
        head.SetBrfSetpoint(brf);
        head.SetShgSetpoint(shg);
        ASSERT_EQ(pot.Wiper(kBrfPotChannel), code);
        ASSERT_EQ(pot.Wiper(kShgPotChannel), 255 - code);
    }
    // Only the volatile wipers are written.
    EXPECT_EQ(pot.StoredWiper(kBrfPotChannel), 100);
    EXPECT_EQ(pot.StoredWiper(kShgPotChannel), 120);
}

TEST_F(PicoHead, SetpointWithoutACodeIsRefusedBeforeAnyTraffic) {
    PicoX head = MakePicoX(sim::PicoXHead("710"));
    // 10 kOhm gives code 312, 3000 ohm a negative code; the rest give none at all.
    for (double ohm : {10000.0, 3000.0, 0.0, -4000.0, kInfinity,
                       std::numeric_limits<double>::quiet_NaN(), 1e-300}) {
        const size_t transfers = ea::Transfers().size();
        EXPECT_EQ(FailureText([&] { head.SetBrfSetpoint(ohm); }), kInvalidData) << ohm;
        EXPECT_EQ(ea::Transfers().size(), transfers) << ohm;
    }
    EXPECT_EQ(HeadPot().Wiper(kBrfPotChannel), 100);
}

TEST_F(PicoHead, Pico00ReadsItsOwnChannelsAndRefusesWhatItLacks) {
    Pico00 head = MakePico00(sim::Pico00Head());
    Supply().SetAdcCode(0x90, 0x94, 2048);
    EXPECT_EQ(ReplyText(head, "?P"), "250.000");        // half of 0.5 W, in milliwatts
    EXPECT_EQ(ReplyText(head, "?MAIND"), "6.000");      // code 1024 x 24 / 4096
    EXPECT_EQ(ReplyText(head, "?TMAIN"), "25.002");     // code 2048 on 0x94 command 0xB4
    EXPECT_EQ(ReplyText(head, "?TMAINCMD"), "25.021");  // wiper 152 of 0x5C channel 3
    EXPECT_EQ(ReplyText(head, "?L"), "1");
    Supply().SetExternalLevels(0x48, 0, 0x10);
    EXPECT_EQ(ReplyText(head, "?L"), "0");
    EXPECT_EQ(ReplyText(head, "?WAVELENGTH"), "488.000");
    EXPECT_EQ(ReplyText(head, "?POWERUNITS"), "mW");
    EXPECT_EQ(head.currentFullScale, 20.0);

    const size_t transfers = ea::Transfers().size();
    for (const char *command :
         {"?SH", "?SHCMD", "SHCMD=1", "?REM", "REM=0", "?PSDIO", "?HEADDIO"}) {
        EXPECT_EQ(ReplyText(head, command), kInvalidCommandReply) << command;
    }
    EXPECT_EQ(ReplyText(head, "MATCH=1"), "0000");
    EXPECT_EQ(ea::Transfers().size(), transfers);
}

TEST_F(PicoHead, FaultWords) {
    PicoX picoX = MakePicoX(sim::PicoXHead("710"));
    EXPECT_EQ(ReplyText(picoX, "?FF"), "0038");
    Supply().SetExternalLevels(0x40, 0, 0x10);
    Supply().SetExternalLevels(0x48, 0, 0x01);
    Supply().SetExternalLevels(0x44, 0, 0x02);  // one of the two head signals still low
    EXPECT_EQ(ReplyText(picoX, "?FF"), "0010");
    Supply().SetExternalLevels(0x44, 0, 0x0A);
    Supply().SetExternalLevels(0x48, 0, 0x0D);
    EXPECT_EQ(ReplyText(picoX, "?FF"), "0300");

    ea::Reset();
    handle = ea::AddSupply();
    Pico00 pico00 = MakePico00(sim::Pico00Head());
    EXPECT_EQ(ReplyText(pico00, "?FF"), "0038");
    Supply().SetExternalLevels(0x48, 1, 0x20 | 0x80);  // 0x4000 still low
    Supply().SetExternalLevels(0x48, 0, 0x01 | 0x08);  // 0x08 is no fault on this head
    EXPECT_EQ(ReplyText(pico00, "?FF"), "0010");
    Supply().SetExternalLevels(0x48, 1, 0xE0);
    Supply().SetExternalLevels(0x48, 0, 0x01 | 0x04);
    EXPECT_EQ(ReplyText(pico00, "?FF"), "0200");
}

TEST_F(PicoHead, MatchProgramsTheStoredValuesAsLoaded) {
    sim::PicoHeadImage image = sim::PicoXHead("710");
    // No milliwatt threshold on this head: 5 W of 10 W stays 5 W.
    image.identity.powerFullScale = 10.0f;
    image.identity.matchValues = {40.0f, 5.0f, 4.0f, 25.0f};
    PicoX head = MakePicoX(image);
    EXPECT_EQ(ReplyText(head, "MATCH=1"), "0000");
    sim::Potentiometer &pot = Supply().Pot(kMainPot);
    EXPECT_EQ(pot.Wiper(3), 102);  // 40 A of 100 A
    EXPECT_EQ(pot.Wiper(2), 128);
    EXPECT_EQ(Supply().Dac().Output(), 409);
    EXPECT_EQ(pot.StoredWiper(0), 152);  // 25 degrees Celsius
}

TEST_F(PicoHead, BadMemoryContentsAndPresets) {
    sim::PicoHeadImage image = sim::PicoXHead("710");
    image.identity.identifier = "R123456789ABCDEF";  // 16 characters, no terminator
    image.identity.powerFullScale = kNaN;
    PicoX head = MakePicoX(image);
    EXPECT_STREQ(head.headIdCopy.data(), "R123456789ABCDEF");
    EXPECT_EQ(ReplyText(head, "?WAVELENGTH"), "639.000");
    EXPECT_EQ(head.powerFullScale, 10.0);

    const struct {
        const char *preset;
        const char *command;
        const char *reply;
    } answers[] = {{"picox-640", "?TBRF", "35.479"},     {"picox", "?TBRF", "34.990"},
                   {"p-nir", "?WAVELENGTH", "607.000"}, {"picox", "MATCH=1", "0000"},
                   {"pico00", "?HTYPE", "Pico00"},      {"unknown-type", "?HTYPE", "Zeta"}};
    for (const auto &answer : answers) {
        sim::FindHeadPreset(answer.preset)->apply(Supply());
        PicoX preset(Link());
        EXPECT_EQ(ReplyText(preset, answer.command), answer.reply) << answer.preset;
    }
    sim::FindHeadPreset("blank-memory")->apply(Supply());
    PicoX blank(Link());
    EXPECT_EQ(ReplyText(blank, "?HTYPE"), std::string(16, '\xFF'));
    EXPECT_EQ(blank.powerFullScale, 10.0);

    ea::FailNext("I2C_Read", 1000);
    EXPECT_EQ(FailureText([&] { PicoX failing(Link()); }), kI2cError);
    EXPECT_EQ(FailureText([&] { Pico00 failing(Link()); }), kI2cError);
}

}  // namespace

// The simulated head through the command language: its fixed answers and the settings it keeps.
// It is built on the null transport, so nothing here reaches a bus.
#include <gtest/gtest.h>

#include <string>

#include "MavoZARP.h"
#include "base/failure_message.h"
#include "heads/dummy_laser.h"
#include "heads/reply_text.h"
#include "interpreter/interpreter.h"

namespace {

// What no query shows: the scales and the base part built on no bus at all.
TEST(DummyLaser, StartsWithItsDocumentedScales) {
    DummyLaser head;
    EXPECT_EQ(head.transport, Transport{NullTransport{}});
    EXPECT_EQ(head.powerFullScale, 10.0);
    EXPECT_EQ(head.currentFullScale, 100.0);
    EXPECT_EQ(head.powerDisplayFactor, 1.0);
    EXPECT_EQ(head.mainDriveFullScale, 48.0);
    EXPECT_STREQ(head.headIdCopy.data(), "");
    for (double value : head.matchValues) EXPECT_EQ(value, 0.0);
}

TEST(DummyLaser, AnswersEveryQueryOfAFreshHead) {
    DummyLaser head;
    const struct {
        const char *command;
        const char *reply;
    } answers[] = {
        {"?HID", "123456"},        {"?HTYPE", "Dummy"},       {"?HBDREV", "AA"},
        {"?LASERMODEL", "Dummy"},  {"?WAVELENGTH", "399.000"}, {"?HH", "3.142"},
        {"?PSDIO", "F000"},        {"?PSGLUEIN", "0F00"},     {"?PSGLUEOUT", "00F0"},
        {"?HEADDIO", "000F"},      {"?FF", "F00F"},           {"?SH", "0"},
        {"?SHCMD", "0"},           {"?KSW", "0"},             {"?KSWCMD", "0"},
        {"?INT", "1"},             {"?ANA", "0"},             {"?ANACMD", "0"},
        {"?REM", "0"},             {"?CMODE", "0"},           {"?CMODECMD", "0"},
        {"?TBRF", "25.100"},       {"?TSHG", "26.100"},       {"?TBRFCMD", "25.000"},
        {"?TSHGCMD", "26.000"},    {"?BRFD", "7.000"},        {"?SHGD", "7.100"},
        {"?TMAIN", "23.000"},      {"?TMAINCMD", "23.100"},   {"?MAIND", "6.000"},
        {"?C", "15.100"},          {"?CCMD", "15.000"},       {"?CLIM", "30.000"},
        {"?L", "0"},               {"?PCMD", "0.000"},        {"?PMEM", "0.000"},
        {"?PLIM", "99.900"},       {"?P", "0.100"},           {"?POWERUNITS", "mW"},
        // The base class's answers without a device behind them.
        {"?EEH", "0.000"},         {"?FAN", "1"},             {"?CFG0", "00"},
        {"?CFG3", "00"},           {"MATCH=1", "0008"},
    };
    for (const auto &answer : answers) EXPECT_EQ(ReplyText(head, answer.command), answer.reply);

    for (const char *command : {"?TTHG", "?TETA", "?TTHGCMD", "?TETACMD", "?THGD", "?ETAD"}) {
        EXPECT_EQ(ReplyText(head, command), std::string("failure: ") + kInvalidCommand) << command;
    }
}

TEST(DummyLaser, RemembersItsSettings) {
    DummyLaser head;
    EXPECT_EQ(ReplyText(head, "PCMD=2.5"), "");
    EXPECT_EQ(ReplyText(head, "?P"), "2.600");
    EXPECT_EQ(ReplyText(head, "?PCMD"), "2.500");
    EXPECT_EQ(ReplyText(head, "PMEM=1.25"), "");
    EXPECT_EQ(ReplyText(head, "?PMEM"), "1.250");

    for (const char *setting : {"SHCMD", "KSWCMD", "ANACMD", "REM"}) {
        EXPECT_EQ(ReplyText(head, (std::string(setting) + "=1").c_str()), "") << setting;
    }
    // Remote is kept as given, not inverted as the base class's pin is.
    for (const char *query : {"?SH", "?SHCMD", "?KSW", "?KSWCMD", "?ANA", "?ANACMD", "?REM"}) {
        EXPECT_EQ(ReplyText(head, query), "1") << query;
    }
    EXPECT_EQ(ReplyText(head, "ANACMD=0"), "");
    EXPECT_EQ(ReplyText(head, "?ANA"), "0");
}

TEST(DummyLaser, AControlModeChangeClearsBothCommands) {
    DummyLaser head;
    EXPECT_EQ(ReplyText(head, "CCMD=4"), "");
    EXPECT_EQ(ReplyText(head, "PCMD=3"), "");
    EXPECT_EQ(ReplyText(head, "?C"), "4.100");
    EXPECT_EQ(ReplyText(head, "CMODECMD=1"), "");
    EXPECT_EQ(ReplyText(head, "?CCMD"), "0.000");
    EXPECT_EQ(ReplyText(head, "?C"), "0.100");
    EXPECT_EQ(ReplyText(head, "?PCMD"), "0.000");
    EXPECT_EQ(ReplyText(head, "?CMODE"), "1");
    EXPECT_EQ(ReplyText(head, "?CMODECMD"), "1");
}

TEST(DummyLaser, RefusesAControlModeChangeWhileTheKeySwitchIsOn) {
    DummyLaser head;
    EXPECT_EQ(ReplyText(head, "CCMD=4"), "");
    EXPECT_EQ(ReplyText(head, "KSWCMD=1"), "");
    EXPECT_EQ(ReplyText(head, "CMODECMD=0"), std::string("failure: ") + kInvalidData);
    EXPECT_EQ(ReplyText(head, "?KSW"), "1");
    // Refused before anything changed.
    EXPECT_EQ(ReplyText(head, "?CCMD"), "4.000");
}

}  // namespace

// The limits against the library itself: every spelling the check reads must be what the head
// takes (the simulated head stores a value exactly, so its readback shows what the library read),
// and on a head whose power and current commands are one converter (the emulated Kora head) no
// command the guard lets through may leave either command above its limit.
#include "command_language.h"
#include "device_limits.h"

#include "client/device.h"
#include "support/emulated_adapter_controls.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Fixed3(double value) {
    char text[128];
    return std::string(
        text, std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3).ptr);
}

// The query that reads back what a setting stored on the simulated head, in the order of the
// setting entries.
constexpr const char *kReadbacks[] = {"?PCMD",     "?PMEM",   "?CCMD", "?SHCMD", "?KSWCMD",
                                      "?CMODECMD", "?ANACMD", "?REM",  ""};

// What the library answers must be what ReadSetting predicts.
void ExpectTheLibraryReadsItSo(const std::string &command) {
    SCOPED_TRACE("'" + command + "'");
    const SettingRead read = ReadSetting(command);
    const Exchange sent = SendCommand(MAVOZARP_SIMULATED_HANDLE, command);
    if (read.entry == nullptr) {
        EXPECT_EQ(sent.status, MAVOZARP_STATUS_INVALID_COMMAND);
        return;
    }
    if (read.entry->argument != ArgumentKind::None && !read.value) {
        EXPECT_EQ(sent.status, MAVOZARP_STATUS_INVALID_DATA);
        return;
    }
    ASSERT_EQ(sent.status, MAVOZARP_STATUS_SUCCESS);
    // A value of 1E90 or more has no reply that fits the host's buffer.
    if (read.entry->setting == Setting::Match || std::abs(read.value.value_or(0.0)) >= 1e90) return;
    const Exchange back =
        SendCommand(MAVOZARP_SIMULATED_HANDLE, kReadbacks[read.entry - SettingEntries().data()]);
    ASSERT_EQ(back.status, MAVOZARP_STATUS_SUCCESS);
    if (read.entry->argument == ArgumentKind::OnOff) {
        EXPECT_EQ(back.reply, *read.value == 1.0 ? "1" : "0");
    } else {
        EXPECT_EQ(back.reply, Fixed3(*read.value));
    }
    // The key switch on would make every later CMODECMD= "Invalid data".
    SendCommand(MAVOZARP_SIMULATED_HANDLE, "KSWCMD=0");
}

TEST(Limits, EverySpellingReadsAsTheLibraryReadsIt) {
    const std::string known[] = {
        "PCMD=2",
        "pcmd=2",
        "PcMd=2.5",
        "PCMD= 2",
        "PCMD=2W",
        "PCMD=1e-3",
        "PCMD=.5",
        "PCMD=5.",
        "PCMD=+1.5",
        "PCMD=-0.004",
        "PCMD=0X1P3",
        "PCMD=1E400",
        "PCMD=1E-400",
        "PCMD=-1E-400",
        "PCMD=INF",
        "PCMD=NAN",
        "PCMD=",
        "PCMD==5",
        "PCMD=2E",
        "PCMD=2E+",
        "PCMD=1.5.3",
        "PCMD=- 2",
        "PCMD=00012",
        "PCMD=1e2",
        "PCMD=\t3",
        "PCMD=\v3",
        // Long mantissas: far beyond the largest double, below the smallest, and back in range.
        "PCMD=1" + std::string(60, '0') + "E300",
        "PCMD=0." + std::string(60, '0') + "1E-300",
        "PCMD=1" + std::string(80, '0') + "E-380",
        " PCMD=2",
        "PCMD =2",
        "PCMDX=2",
        "PCMD",
        "PMEM=3",
        "pmem=1E1",
        "CCMD=4",
        "ccmd=+4.25",
        "CCMD=x",
        "SHCMD=1",
        "shcmd=0",
        "SHCMD=01",
        "SHCMD=1 ",
        "SHCMD= 1",
        "SHCMD=2",
        "SHCMD=",
        "SHCMD=+1",
        "KSWCMD=1",
        "kswcmd=0",
        "CMODECMD=1",
        "ANACMD=1",
        "rem=1",
        "REM=1 ",
        "MATCH=1",
        "match=1",
        "MATCH=1 ",
        "MATCH=0",
        "MATCH=",
        "MATCH=11",
        "?PCMD=5",
        "P CMD=2",
        "PCMD=2\r\n",
        "\xC3\x9F=1",
        // The library reads no command of 100 characters or more.
        "PCMD=" + std::string(93, '0') + "1",
        "PCMD=" + std::string(94, '0') + "1",
    };
    for (const std::string &command : known) ExpectTheLibraryReadsItSo(command);

    // Spellings made at random from what a number may hold, after names in either case.
    std::mt19937 random(36);
    const std::vector<std::string> names = {"PCMD=",     "pmem=",   "Ccmd=", "SHCMD=", "rem=",
                                            "CMODECMD=", "ANACMD=", "PCMD ", "MATCH=", "match="};
    const std::string alphabet = "0123456789.+-eE xX=W";
    for (int round = 0; round < 3000; ++round) {
        std::string command = names[random() % names.size()];
        const size_t length = random() % 9;
        for (size_t i = 0; i < length; ++i) command += alphabet[random() % alphabet.size()];
        ExpectTheLibraryReadsItSo(command);
    }
}

TEST(Limits, APowerOrCurrentAboveItsLimitIsRefusedInEverySpelling) {
    LimitGuard guard(ReadDeviceLimits(
        Json::parse(
            R"({"max_power_command": 2.0, "max_current_command": 10.0, "refuse": ["KSWCMD=1", "ANACMD="]})"),
        "limits.simulated"));
    guard.MeetHead("W", false);

    const struct {
        const char *command;
        const char *refusal;  // "" when allowed
    } cases[] = {
        {"PCMD=2", ""},
        {"PCMD=2.001", "PCMD above 2.000 W for this device"},
        {"pcmd= 2.5E0", "PCMD above 2.000 W for this device"},
        {"PCMD=1E1W", "PCMD above 2.000 W for this device"},
        {"PMEM=3", "PMEM above 2.000 W for this device"},
        {"CCMD=10", ""},
        {"ccmd=+10.5", "CCMD above 10.000 A for this device"},
        {"PCMD=-0.004", ""},
        {"PCMD=0X1P3", ""},  // reads as 0
        {"PCMD=abc",
         "PCMD with a value the library does not read cannot be checked against this device's "
         "limits"},
        {"kswcmd=1", "kswcmd=1 is never allowed on this device"},
        {"KSWCMD=0", ""},
        {"KSWCMD=01", "KSWCMD=01 is never allowed on this device"},  // a supply might read it as 1
        {"ANACMD=0", "ANACMD=0 is never allowed on this device"},
        {"SHCMD=1", ""},
        {"CMODECMD=1", ""},  // only ever lowers the commands
        {"MATCH=1",
         "MATCH=1 programs the power and current from head memory, which the service cannot read "
         "first: refused while this device has a power or current limit"},
        {"FIRE=1",
         "FIRE=1 is no setting of the command language, so it cannot be checked against this "
         "device's limits"},
        {"?PCMD", ""},
        {"?P", ""},
    };
    for (const auto &each : cases) {
        SCOPED_TRACE(each.command);
        const std::optional<Refusal> refusal = guard.Check(each.command);
        if (*each.refusal == '\0') {
            EXPECT_FALSE(refusal) << refusal->message;
            continue;
        }
        ASSERT_TRUE(refusal);
        EXPECT_EQ(refusal->status, 403);
        EXPECT_EQ(refusal->error, "limit");
        EXPECT_EQ(refusal->message, each.refusal);
    }

    // Without power and current limits only the refused settings are refused.
    guard.SetLimits(
        ReadDeviceLimits(Json::parse(R"({"refuse": ["MATCH=1"]})"), "limits.simulated"));
    EXPECT_FALSE(guard.Check("PCMD=99"));
    EXPECT_FALSE(guard.Check("FIRE=1"));
    EXPECT_TRUE(guard.Check("match=1"));

    guard.SetLimits(
        ReadDeviceLimits(Json::parse(R"({"max_power_command": 2.0, "max_current_command": 10.0})"),
                         "limits.simulated"));
    const std::vector<Exceedance> beyond = guard.Beyond({3.0, 1.0, 10.5});
    ASSERT_EQ(beyond.size(), 2u);
    EXPECT_EQ(beyond[0].text, "PCMD 3.000 W is above 2.000 W for this device");
    EXPECT_EQ(beyond[1].text, "CCMD 10.500 A is above 10.000 A for this device");
}

TEST(Limits, ALimitsObjectThatIsWrongIsNamedWithItsPlace) {
    const struct {
        const char *json;
        const char *said;
    } mistakes[] = {
        {R"({"max_power_command": -1})",
         "limits.dev.max_power_command must be a number, 0 or more"},
        {R"({"max_current_command": "10"})", "limits.dev.max_current_command must be a number"},
        {R"({"max_power": 2})", "limits.dev: unknown key \"max_power\""},
        {R"({"refuse": "KSWCMD=1"})", "limits.dev.refuse must be a list of settings"},
        {R"({"refuse": ["KSWCMD=2"]})", "\"KSWCMD=2\" carries a value the library would not take"},
        {R"({"refuse": ["?FF"]})", "\"?FF\" is not a setting of the command language"},
        {R"([2.0])", "limits.dev must be an object"},
    };
    for (const auto &mistake : mistakes) {
        SCOPED_TRACE(mistake.json);
        try {
            ReadLimitsTable(Json::parse(std::string(R"({"dev": )") + mistake.json + "}"));
            ADD_FAILURE() << "taken";
        } catch (const LimitsError &error) {
            EXPECT_NE(std::string(error.what()).find(mistake.said), std::string::npos)
                << error.what();
        }
    }
    const auto table =
        ReadLimitsTable(Json::parse(R"({"a": {"max_power_command": 2, "refuse": ["kswcmd="]}})"));
    EXPECT_EQ(LimitsJson(table.at("a")).dump(),
              R"({"max_power_command":2.0,"refuse":["kswcmd="]})");
}

// A command the guard lets through, sent; both commands read back after it.
struct Readback {
    double power, current;
};
Readback SendAndReadBack(MavoZARP_Handle handle, const std::string &command) {
    EXPECT_EQ(SendCommand(handle, command).status, MAVOZARP_STATUS_SUCCESS) << command;
    return {std::stod(SendCommand(handle, "?PCMD").reply),
            std::stod(SendCommand(handle, "?CCMD").reply)};
}

TEST(Limits, OnAHeadWithOneConverterNeitherCommandLeavesTheOtherAboveItsLimit) {
    emulated_adapter::Reset();
    emulated_adapter::PlugSupply("kora-band1");  // 200 mW and 100 A full scale: 0.5 A per mW
    const std::vector<MavoZARP_Handle> handles = DiscoverAdapterSupplies();
    ASSERT_EQ(handles.size(), 1u);
    const MavoZARP_Handle head = handles.front();
    ASSERT_EQ(IdentifyHead(head).status, MAVOZARP_STATUS_SUCCESS);
    ASSERT_EQ(SendCommand(head, "?POWERUNITS").reply, "mW");

    constexpr double kMaxPower = 150.0, kMaxCurrent = 30.0;
    LimitGuard guard(DeviceLimits{kMaxPower, kMaxCurrent, {}});
    guard.MeetHead("mW", true);
    // Before the ratio is known, a command that moves the other one is refused.
    ASSERT_EQ(SendCommand(head, "CCMD=0").status, MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(guard.Check("PCMD=1")->message,
              "PCMD also sets the current command on this head, limited to 30.000 A for this "
              "device; by how "
              "much is known once ?PCMD and ?CCMD read above 0");
    EXPECT_FALSE(guard.Check("PCMD=0"));

    const Readback first = SendAndReadBack(head, "PCMD=20");
    guard.Observe(first.power, first.current);
    size_t allowed = 0;
    for (double value = 0.0; value < 200.0; value += 3.7) {
        for (const char *name : {"PCMD=", "ccmd= "}) {
            const std::string command = std::string(name) + Fixed3(value);
            if (guard.Check(command)) continue;
            ++allowed;
            const Readback after = SendAndReadBack(head, command);
            EXPECT_LE(after.power, kMaxPower) << command;
            EXPECT_LE(after.current, kMaxCurrent) << command;
        }
    }
    // Conservative, yet not by much: every power command up to 60 mW (30 A) is taken but the last
    // steps, and every current command up to 30 A.
    EXPECT_GE(allowed, 16u + 9u);
    EXPECT_EQ(guard.Check("PMEM=61")->message,
              "PMEM would store a current command above 30.000 A for this device");
    EXPECT_EQ(guard.Check("PCMD=61")->message,
              "PCMD would set the current command above 30.000 A for this device");

    // A stored power-up value from before the service is shown as beyond, with the current it sets.
    ASSERT_EQ(SendCommand(head, "PMEM=100").status, MAVOZARP_STATUS_SUCCESS);
    const double stored = std::stod(SendCommand(head, "?PMEM").reply);
    const std::vector<Exceedance> beyond = guard.Beyond({std::nullopt, stored, std::nullopt});
    ASSERT_EQ(beyond.size(), 1u);
    EXPECT_EQ(beyond[0].setting, "PMEM");
    EXPECT_EQ(beyond[0].unit, "A");
    EXPECT_GT(beyond[0].value, kMaxCurrent);
}

}  // namespace

// The command language against a head that records which operation ran with which argument.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <clocale>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "MavoZARP.h"
#include "api/return_codes.h"
#include "base/failure_message.h"
#include "heads/common_laser.h"
#include "interpreter/interpreter.h"

namespace {

// The shortest text that reads back as the argument, whatever the locale.
std::string Call(const char *name, double argument) {
    char text[64];
    const std::to_chars_result written = std::to_chars(text, text + sizeof text, argument);
    return std::string(name) + "(" + std::string(text, written.ptr) + ")";
}
std::string Call(const char *name, int argument) {
    return std::string(name) + "(" + std::to_string(argument) + ")";
}

// Every operation with a command answers a value of its own and notes its call. No transport is
// selected in a test process, so the base constructor's memory reads make no traffic.
class RecordingHead : public CommonLaser {
public:
    std::vector<std::string> calls;
    int keySwitchState = 0;
    double powerReading = 0.25;

#define QUERY(Type, Name, value)  \
    Type Name() override {        \
        calls.push_back(#Name);   \
        return value;             \
    }
#define SETTER(Type, Name)                     \
    void Name(Type argument) override {        \
        calls.push_back(Call(#Name, argument)); \
    }
    QUERY(double, GetMainTemperature, 1.25)
    QUERY(double, GetBrfTemperature, 2.25)
    QUERY(double, GetShgTemperature, 3.25)
    QUERY(double, GetThgTemperature, 4.25)
    QUERY(double, GetEtaTemperature, 5.25)
    QUERY(double, GetMainTemperatureCommand, 6.25)
    QUERY(double, GetBrfTemperatureCommand, 7.25)
    QUERY(double, GetShgTemperatureCommand, 8.25)
    QUERY(double, GetThgTemperatureCommand, 9.25)
    QUERY(double, GetEtaTemperatureCommand, 10.25)
    QUERY(double, GetMainDrive, 11.25)
    QUERY(double, GetBrfDrive, 12.25)
    QUERY(double, GetShgDrive, 13.25)
    QUERY(double, GetThgDrive, 14.25)
    QUERY(double, GetEtaDrive, 15.25)
    QUERY(double, GetPower, powerReading)
    QUERY(double, GetPowerCommand, 0.5)
    QUERY(double, GetPowerMemory, 0.75)
    QUERY(double, GetPowerLimit, 1.125)
    QUERY(double, GetCurrent, 16.25)
    QUERY(double, GetCurrentCommand, 17.25)
    QUERY(double, GetCurrentLimit, 18.25)
    QUERY(int32_t, GetFaultFlags, 0xF00F)
    QUERY(const char *, GetHeadId, "ID-1")
    QUERY(const char *, GetHeadBoardRevision, "REV-2")
    QUERY(const char *, GetHeadType, "Type-3")
    QUERY(int, GetLaserState, 1)
    QUERY(int, GetShutterState, 2)
    QUERY(int, GetShutterCommand, 3)
    QUERY(int, GetKeySwitchState, keySwitchState)
    QUERY(int, GetKeySwitchCommand, 5)
    QUERY(int, GetFanState, 6)
    QUERY(int, GetInterlockState, 7)
    QUERY(double, GetHeadHours, 19.0625)
    QUERY(double, GetElectronicsHours, 20.5625)
    QUERY(int, GetControlModeState, 8)
    QUERY(int, GetControlModeCommand, 9)
    QUERY(int, GetAnalogModeState, 10)
    QUERY(int, GetAnalogModeCommand, -11)
    QUERY(uint16_t, GetSupplyDigitalIo, 0x00AB)
    QUERY(uint16_t, GetSupplyGlueInputs, 0xFFFE)
    QUERY(uint16_t, GetSupplyGlueOutputs, 0x1C)
    QUERY(uint16_t, GetHeadDigitalIo, 0x8000)
    QUERY(int, GetRemoteCommand, 12)
    QUERY(uint8_t, GetConfigByte0, 0x0A)
    QUERY(uint8_t, GetConfigByte1, 0xFF)
    QUERY(uint8_t, GetConfigByte2, 0x00)
    QUERY(uint8_t, GetConfigByte3, 0x7C)
    QUERY(int, MatchHeadSettings, 0xA)
    QUERY(double, GetWavelength, 532.0)
    QUERY(const char *, GetLaserModel, "Model-4")
    QUERY(const char *, GetPowerUnits, "mW")
    SETTER(double, SetPowerCommand)
    SETTER(double, SetPowerMemory)
    SETTER(double, SetCurrentCommand)
    SETTER(int, SetShutterCommand)
    SETTER(int, SetKeySwitchCommand)
    SETTER(int, SetAnalogModeCommand)
    SETTER(int, SetRemoteCommand)
    SETTER(int, SetControlModeCommand)
#undef QUERY
#undef SETTER
};

struct Outcome {
    std::string failure;  // empty when the command succeeded
    std::string reply;
};

// Runs one command into a reply buffer holding garbage, so an empty reply proves it was emptied.
Outcome Interpret(CommonLaser *head, const char *command) {
    char result[MAVOZARP_BUFFER_SIZE];
    std::fill(std::begin(result), std::end(result), 'x');
    result[MAVOZARP_BUFFER_SIZE - 1] = '\0';
    try {
        EXPECT_EQ(InterpretCommand(head, command, result), 0);
        return {"", result};
    } catch (const FailureMessage &failure) {
        return {failure.text, result};
    }
}

std::string Lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

struct Expected {
    const char *command;
    std::vector<std::string> calls;
    const char *reply;
};

const std::vector<Expected> kEveryCommand = {
    {"?TMAIN", {"GetMainTemperature"}, "1.250"},
    {"?TBRF", {"GetBrfTemperature"}, "2.250"},
    {"?TSHG", {"GetShgTemperature"}, "3.250"},
    {"?TTHG", {"GetThgTemperature"}, "4.250"},
    {"?TETA", {"GetEtaTemperature"}, "5.250"},
    {"?TMAINCMD", {"GetMainTemperatureCommand"}, "6.250"},
    {"?TBRFCMD", {"GetBrfTemperatureCommand"}, "7.250"},
    {"?TSHGCMD", {"GetShgTemperatureCommand"}, "8.250"},
    {"?TTHGCMD", {"GetThgTemperatureCommand"}, "9.250"},
    {"?TETACMD", {"GetEtaTemperatureCommand"}, "10.250"},
    {"?MAIND", {"GetMainDrive"}, "11.250"},
    {"?BRFD", {"GetBrfDrive"}, "12.250"},
    {"?SHGD", {"GetShgDrive"}, "13.250"},
    {"?THGD", {"GetThgDrive"}, "14.250"},
    {"?ETAD", {"GetEtaDrive"}, "15.250"},
    {"?P", {"GetPower"}, "0.250"},
    {"?PCMD", {"GetPowerCommand"}, "0.500"},
    {"PCMD=2.5", {"SetPowerCommand(2.5)"}, ""},
    {"?PMEM", {"GetPowerMemory"}, "0.750"},
    {"PMEM=3.5", {"SetPowerMemory(3.5)"}, ""},
    {"?PLIM", {"GetPowerLimit"}, "1.125"},
    {"?C", {"GetCurrent"}, "16.250"},
    {"?CCMD", {"GetCurrentCommand"}, "17.250"},
    {"CCMD=4.5", {"SetCurrentCommand(4.5)"}, ""},
    {"?CLIM", {"GetCurrentLimit"}, "18.250"},
    {"?FF", {"GetFaultFlags"}, "F00F"},
    {"?HID", {"GetHeadId"}, "ID-1"},
    {"?HBDREV", {"GetHeadBoardRevision"}, "REV-2"},
    {"?HTYPE", {"GetHeadType"}, "Type-3"},
    {"?L", {"GetLaserState"}, "1"},
    {"?SH", {"GetShutterState"}, "2"},
    {"?SHCMD", {"GetShutterCommand"}, "3"},
    {"SHCMD=1", {"SetShutterCommand(1)"}, ""},
    {"?KSW", {"GetKeySwitchState"}, "0"},
    {"?KSWCMD", {"GetKeySwitchCommand"}, "5"},
    {"KSWCMD=0", {"SetKeySwitchCommand(0)"}, ""},
    {"?FAN", {"GetFanState"}, "6"},
    {"?INT", {"GetInterlockState"}, "7"},
    {"?HH", {"GetHeadHours"}, "19.062"},
    {"?EEH", {"GetElectronicsHours"}, "20.562"},
    {"?CMODE", {"GetControlModeState"}, "8"},
    {"?CMODECMD", {"GetControlModeCommand"}, "9"},
    {"CMODECMD=1", {"GetKeySwitchState", "SetControlModeCommand(1)"}, ""},
    {"?ANA", {"GetAnalogModeState"}, "10"},
    {"?ANACMD", {"GetAnalogModeCommand"}, "-11"},
    {"ANACMD=1", {"SetAnalogModeCommand(1)"}, ""},
    {"?PSDIO", {"GetSupplyDigitalIo"}, "00AB"},
    {"?PSGLUEIN", {"GetSupplyGlueInputs"}, "FFFE"},
    {"?PSGLUEOUT", {"GetSupplyGlueOutputs"}, "001C"},
    {"?HEADDIO", {"GetHeadDigitalIo"}, "8000"},
    {"?REM", {"GetRemoteCommand"}, "12"},
    {"REM=0", {"SetRemoteCommand(0)"}, ""},
    {"?CFG0", {"GetConfigByte0"}, "0a"},
    {"?CFG1", {"GetConfigByte1"}, "ff"},
    {"?CFG2", {"GetConfigByte2"}, "00"},
    {"?CFG3", {"GetConfigByte3"}, "7c"},
    {"MATCH=1", {"MatchHeadSettings"}, "000a"},
    {"?WAVELENGTH", {"GetWavelength"}, "532.000"},
    {"?LASERMODEL", {"GetLaserModel"}, "Model-4"},
    {"?POWERUNITS", {"GetPowerUnits"}, "mW"},
};

TEST(InterpretCommand, EveryCommandCallsItsOperationOnceAndFormatsItsResult) {
    ASSERT_EQ(kEveryCommand.size(), 60u);
    for (const bool lowerCase : {false, true}) {
        for (const Expected &expected : kEveryCommand) {
            const std::string command = lowerCase ? Lower(expected.command) : expected.command;
            RecordingHead head;
            const Outcome outcome = Interpret(&head, command.c_str());
            EXPECT_EQ(outcome.failure, "") << command;
            EXPECT_EQ(outcome.reply, expected.reply) << command;
            EXPECT_EQ(head.calls, expected.calls) << command;
        }
    }
}

TEST(InterpretCommand, OnlyExactCommandsMatch) {
    RecordingHead head;
    for (const char *command : {"?P ", "?P\r\n", " ?P", "?", "", "?PP", "P", "PCMD", "?TMAIN?",
                                "MATCH=0", "MATCH=1 ", "MATCH=", "MATCH=11", "?cfg4",
                                "?p\xC3\xA9"}) {
        const Outcome outcome = Interpret(&head, command);
        EXPECT_EQ(outcome.failure, kInvalidCommand) << '"' << command << '"';
        EXPECT_EQ(outcome.reply, "") << command;
    }
    EXPECT_TRUE(head.calls.empty());

    // A zero byte ends the command.
    const std::string withZero("?P\0CMD", 6);
    EXPECT_EQ(Interpret(&head, withZero.c_str()).reply, "0.250");
}

// The working copy holds 99 characters and the terminator; a longer command matches nothing.
TEST(InterpretCommand, ACommandOf100CharactersOrMoreIsUnknown) {
    RecordingHead head;
    const std::string longest = "PCMD=1" + std::string(93, ' ');
    ASSERT_EQ(longest.size(), 99u);
    EXPECT_EQ(Interpret(&head, longest.c_str()).failure, "");
    EXPECT_EQ(head.calls, std::vector<std::string>{"SetPowerCommand(1)"});

    head.calls.clear();
    for (const std::string &command : {longest + " ", longest + std::string(400, ' ')}) {
        const Outcome outcome = Interpret(&head, command.c_str());
        EXPECT_EQ(outcome.failure, kInvalidCommand) << command.size();
        EXPECT_EQ(outcome.reply, "");
    }
    EXPECT_TRUE(head.calls.empty());
}

TEST(InterpretCommand, ANullHeadIsAnInvalidHead) {
    const Outcome outcome = Interpret(nullptr, "?P");
    EXPECT_EQ(outcome.failure, kInvalidHead);
    EXPECT_EQ(outcome.reply, "");
}

TEST(InterpretCommand, RealArguments) {
    const struct {
        const char *argument;
        double value;
    } accepted[] = {{" 2", 2.0},   {"2W", 2.0},     {"1e-3", 0.001}, {"0X1P3", 0.0},
                    {"-0.5", -0.5}, {"+.5", 0.5},    {"\t7.", 7.0},   {"1E-400", 0.0},
                    {"2E", 2.0},    {"3=4", 3.0},    {"12.5E1", 125.0}};
    for (const auto &c : accepted) {
        RecordingHead head;
        const std::string command = std::string("PCMD=") + c.argument;
        EXPECT_EQ(Interpret(&head, command.c_str()).failure, "") << command;
        EXPECT_EQ(head.calls, std::vector<std::string>{Call("SetPowerCommand", c.value)})
            << command;
    }
    for (const char *argument : {"", "A", "=2", " ", "-", ".", "NAN", "INF", "-INF", "1E400",
                                 "E3", "INFINITY"}) {
        RecordingHead head;
        const std::string command = std::string("PCMD=") + argument;
        const Outcome outcome = Interpret(&head, command.c_str());
        EXPECT_EQ(outcome.failure, kInvalidData) << command;
        EXPECT_EQ(outcome.reply, "");
        EXPECT_TRUE(head.calls.empty()) << command;
    }
}

TEST(InterpretCommand, OnOffArgumentsAreExactlyZeroOrOne) {
    for (const char *command : {"SHCMD=2", "SHCMD=01", "SHCMD=", "REM=1 ", "REM= 1", "ANACMD=-0",
                                "KSWCMD=1.0", "CMODECMD=2", "CMODECMD=1\r\n"}) {
        RecordingHead head;
        const Outcome outcome = Interpret(&head, command);
        EXPECT_EQ(outcome.failure, kInvalidData) << command;
        EXPECT_EQ(outcome.reply, "");
        // The argument is checked before anything is asked of the head.
        EXPECT_TRUE(head.calls.empty()) << command;
    }
    RecordingHead head;
    EXPECT_EQ(Interpret(&head, "shcmd=1").failure, "");
    EXPECT_EQ(Interpret(&head, "rem=0").failure, "");
    EXPECT_EQ(head.calls,
              (std::vector<std::string>{"SetShutterCommand(1)", "SetRemoteCommand(0)"}));
}

TEST(InterpretCommand, ControlModeChangesOnlyWhileTheKeySwitchIsOff) {
    RecordingHead head;
    head.keySwitchState = 1;
    const Outcome outcome = Interpret(&head, "CMODECMD=0");
    EXPECT_EQ(outcome.failure, kInvalidData);
    EXPECT_EQ(outcome.reply, "");
    EXPECT_EQ(head.calls, std::vector<std::string>{"GetKeySwitchState"});
}

TEST(InterpretCommand, PowerCrossesInTheHeadsDisplayUnit) {
    RecordingHead head;
    head.powerDisplayFactor = 1000.0;
    head.powerReading = 0.0015;
    EXPECT_EQ(Interpret(&head, "PCMD=1.5").failure, "");
    EXPECT_EQ(Interpret(&head, "PMEM=2").failure, "");
    EXPECT_EQ(Interpret(&head, "CCMD=1.5").failure, "");
    // The calls show each argument exactly: 1.5 / 1000 is what the head sees.
    EXPECT_EQ(head.calls, (std::vector<std::string>{"SetPowerCommand(0.0015)",
                                                    "SetPowerMemory(0.002)",
                                                    "SetCurrentCommand(1.5)"}));
    EXPECT_EQ(Interpret(&head, "?P").reply, "1.500");
    EXPECT_EQ(Interpret(&head, "?PCMD").reply, "500.000");
    EXPECT_EQ(Interpret(&head, "?PMEM").reply, "750.000");
    EXPECT_EQ(Interpret(&head, "?PLIM").reply, "1125.000");
    // Current and the other quantities stay unscaled.
    EXPECT_EQ(Interpret(&head, "?C").reply, "16.250");
    EXPECT_EQ(Interpret(&head, "?CLIM").reply, "18.250");
    EXPECT_EQ(Interpret(&head, "?WAVELENGTH").reply, "532.000");
}

TEST(InterpretCommand, AFailingOperationLeavesTheReplyEmpty) {
    struct Failing : RecordingHead {
        double GetPower() override { RaiseFailure(kI2cError); }
        const char *GetHeadType() override { RaiseFailure("NXP::Read: timeout"); }
    } head;
    for (const char *command : {"?P", "?HTYPE"}) {
        const Outcome outcome = Interpret(&head, command);
        EXPECT_NE(outcome.failure, "") << command;
        EXPECT_EQ(outcome.reply, "") << command;
    }
    EXPECT_EQ(Interpret(&head, "?P").failure, kI2cError);

    // An operation the base class does not have is an unknown command.
    CommonLaser base;
    for (const char *command : {"?TTHG", "?TBRF", "?BRFD"}) {
        const Outcome outcome = Interpret(&base, command);
        EXPECT_EQ(outcome.failure, kInvalidCommand) << command;
        EXPECT_EQ(outcome.reply, "") << command;
    }
}

// The host's 100 bytes hold the reply, CR LF and the terminator: a longer reply fails with -999
// rather than being cut.
TEST(InterpretCommand, AReplyLongerThan97CharactersFails) {
    struct Large : RecordingHead {
        const char *GetLaserModel() override { return model.c_str(); }
        std::string model;
    } head;
    head.powerReading = 1e92;  // 93 digits and ".000"
    ASSERT_EQ(Interpret(&head, "?P").reply.size(), 97u);
    head.model = std::string(97, 'M');
    EXPECT_EQ(Interpret(&head, "?LASERMODEL").reply, head.model);

    head.powerReading = -1e92;
    head.model += 'M';
    for (const char *command : {"?P", "?LASERMODEL"}) {
        const Outcome outcome = Interpret(&head, command);
        EXPECT_EQ(MapFailureMessage(outcome.failure.c_str()), MAVOZARP_STATUS_OTHER_ERROR)
            << command;
        EXPECT_EQ(outcome.reply, "") << command;
    }
    head.powerReading = std::numeric_limits<double>::max();
    EXPECT_EQ(MapFailureMessage(Interpret(&head, "?P").failure.c_str()),
              MAVOZARP_STATUS_OTHER_ERROR);
}

TEST(InterpretCommand, ReadingsThatAreNoNumberReadTheSameEverywhere) {
    RecordingHead head;
    head.powerReading = -std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(Interpret(&head, "?P").reply, "nan");
    head.powerReading = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(Interpret(&head, "?P").reply, "nan");
    head.powerReading = -std::numeric_limits<double>::infinity();
    EXPECT_EQ(Interpret(&head, "?P").reply, "-inf");
}

TEST(InterpretCommand, AHostInACommaLocaleStillUsesThePoint) {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
        GTEST_SKIP() << "locale de_DE.UTF-8 is not installed";
    }
    RecordingHead head;
    head.powerReading = 1.5;
    EXPECT_EQ(Interpret(&head, "PCMD=1.5").failure, "");
    EXPECT_EQ(head.calls, std::vector<std::string>{"SetPowerCommand(1.5)"});
    EXPECT_EQ(Interpret(&head, "?P").reply, "1.500");
    std::setlocale(LC_ALL, "C");
}

}  // namespace

// The base head over the UART-to-I2C bridge: the bridge emulator on a pseudo-terminal and the
// emulated adapter library serve the same device models with the same head preset, and every base
// operation must give the same result over either transport. The bridge frames are checked byte
// for byte, including the converter read-backs that are clocked over the bridge's GPIO lines.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "bus/head_presets.h"
#include "bus/virtual_supply.h"
#include "heads/common_laser.h"
#include "serial/bridge_emulator.h"
#include "support/emulated_adapter_controls.h"
#include "support/failure_text.h"
#include "transport/adapter_library.h"
#include "transport/nxp_bridge.h"
#include "transport/serial_port.h"
#include "transport/transport.h"

namespace {

namespace ea = emulated_adapter;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using sim::ByteOrder;
using sim::VirtualSupply;

constexpr char kPreset[] = "kora-band2";
constexpr uint32_t kBridgeBaud = 9600;
constexpr uint8_t kMemory = VirtualSupply::kHeadMemory;
constexpr uint8_t kGlueOutputs = VirtualSupply::kGlueOutputExpander;

// One transport with its head, built on it on first use.
struct Side {
    Transport transport;
    std::unique_ptr<CommonLaser> head;
};

class CommonLaserOverBothTransports : public testing::Test {
protected:
    void SetUp() override {
        ea::Reset();
        ASSERT_TRUE(BindAdapterLibrary().moduleLoaded);
        adapterHandle = ea::AddSupply();
        opened.handle = adapterHandle;
        adapter.transport = AdapterTransport{&opened};
        // The parts stay on the bridge's bus, which owns them; this typed view of them is kept
        // for the test and only touched while the bridge serves no frame.
        bridge.WithBus(
            [&](sim::I2cBus &bus) { bridgeSupply = std::make_unique<VirtualSupply>(bus); });
        const sim::HeadPreset *preset = sim::FindHeadPreset(kPreset);
        ASSERT_NE(preset, nullptr);
        OnBothSupplies([&](VirtualSupply &supply) { preset->apply(supply); });

        bridgePort = SerialPort::Open(bridge.Line().Path().c_str(), kBridgeBaud);
        ASSERT_NE(bridgePort.handle, SerialPort::kInvalidHandle);
        bridgeSide.transport = NXP::BridgeOn(bridgePort);
    }

    void TearDown() override {
        adapter.head.reset();
        bridgeSide.head.reset();
        if (bridgePort.handle != SerialPort::kInvalidHandle) SerialPort::Close(bridgePort);
    }

    void OnBothSupplies(const std::function<void(VirtualSupply &)> &change) {
        change(ea::Supply(adapterHandle));
        bridge.WithBus([&](sim::I2cBus &) { change(*bridgeSupply); });
    }

    // Runs `action` on the side's head.
    template <class Action>
    auto On(Side &side, Action &&action) {
        if (!side.head) side.head = std::make_unique<CommonLaser>(side.transport);
        return action(*side.head);
    }

    // The bridge supply's state once every frame sent so far has been served: register writes
    // are sent without an answer, so an answered frame behind them is the barrier.
    template <class Look>
    auto BridgeSupplyAfterTraffic(Look &&look) {
        NXP::ReadRegister(NXP::BridgeOn(bridgePort));
        std::invoke_result_t<Look, VirtualSupply &> seen{};
        bridge.WithBus([&](sim::I2cBus &) { seen = look(*bridgeSupply); });
        return seen;
    }

    sim::BridgeEmulator bridge;
    std::unique_ptr<VirtualSupply> bridgeSupply;  // after the bridge: it views the bridge's bus
    AdapterHandle adapterHandle = 0;
    OpenedAdapter opened;
    SerialPort::Line bridgePort;
    Side adapter;
    Side bridgeSide;
};

// Results as text, so that readings, texts and failures compare alike.
std::string Shown(const char *text) { return '"' + std::string(text) + '"'; }
std::string Shown(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}
template <class Integer, class = std::enable_if_t<std::is_integral_v<Integer>>>
std::string Shown(Integer value) {
    return std::to_string(static_cast<long long>(value));
}

struct Step {
    std::string name;
    std::function<std::string(CommonLaser &)> run;
};

template <class Action>
std::string ResultOrFailure(Action &&action) {
    std::string result;
    const std::string failure = FailureText([&] { result = action(); });
    return failure == "(none)" ? result : "failed: " + failure;
}

template <class Result>
Step Reading(const char *name, Result (CommonLaser::*read)()) {
    return {name, [read](CommonLaser &laser) {
                return ResultOrFailure([&] { return Shown((laser.*read)()); });
            }};
}

// "NAME=value", built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) about a literal put
// in front of a temporary string.
template <class Argument>
std::string Assignment(const char *name, Argument value) {
    std::string text(name);
    text += '=';
    return text.append(Shown(value));
}

template <class Argument, class Parameter>
Step Setting(const char *name, void (CommonLaser::*set)(Parameter), Argument value) {
    return {Assignment(name, value), [set, value](CommonLaser &laser) {
                return ResultOrFailure([&] {
                    (laser.*set)(static_cast<Parameter>(value));
                    return std::string("done");
                });
            }};
}

template <class Argument>
Step Matching(const char *name, int (CommonLaser::*match)(double), Argument value) {
    return {Assignment(name, value), [match, value](CommonLaser &laser) {
                return ResultOrFailure([&] { return Shown((laser.*match)(value)); });
            }};
}

// Loads the match values; shows the first and the last.
Step Loading(const char *name, void (CommonLaser::*load)()) {
    return {name, [load](CommonLaser &laser) {
                return ResultOrFailure([&] {
                    (laser.*load)();
                    return Shown(laser.matchValues[0]) + " " + Shown(laser.matchValues[3]);
                });
            }};
}

std::vector<Step> EveryReading() {
    using L = CommonLaser;
    return {
        Reading("GetHeadId", &L::GetHeadId),
        Reading("GetHeadType", &L::GetHeadType),
        Reading("GetSecondaryHeadType", &L::GetSecondaryHeadType),
        Reading("GetHeadBoardRevision", &L::GetHeadBoardRevision),
        Reading("GetLaserModel", &L::GetLaserModel),
        Reading("GetWavelength", &L::GetWavelength),
        Reading("GetHeadHours", &L::GetHeadHours),
        Reading("GetElectronicsHours", &L::GetElectronicsHours),
        Reading("GetConfigByte0", &L::GetConfigByte0),
        Reading("GetConfigByte1", &L::GetConfigByte1),
        Reading("GetConfigByte2", &L::GetConfigByte2),
        Reading("GetConfigByte3", &L::GetConfigByte3),
        Reading("GetSupplyDigitalIo", &L::GetSupplyDigitalIo),
        Reading("GetSupplyGlueInputs", &L::GetSupplyGlueInputs),
        Reading("GetSupplyGlueOutputs", &L::GetSupplyGlueOutputs),
        Reading("GetHeadDigitalIo", &L::GetHeadDigitalIo),
        Reading("GetFaultFlags", &L::GetFaultFlags),
        Reading("GetShutterCommand", &L::GetShutterCommand),
        Reading("GetShutterState", &L::GetShutterState),
        Reading("GetKeySwitchCommand", &L::GetKeySwitchCommand),
        Reading("GetKeySwitchState", &L::GetKeySwitchState),
        Reading("GetInterlockState", &L::GetInterlockState),
        Reading("GetAnalogModeCommand", &L::GetAnalogModeCommand),
        Reading("GetAnalogModeState", &L::GetAnalogModeState),
        Reading("GetRemoteCommand", &L::GetRemoteCommand),
        Reading("GetControlModeCommand", &L::GetControlModeCommand),
        Reading("GetControlModeState", &L::GetControlModeState),
        Reading("GetFanState", &L::GetFanState),
        Reading("GetBrfSetpoint", &L::GetBrfSetpoint),
        Reading("GetShgTemperature", &L::GetShgTemperature),
        Reading("GetEtaDrive", &L::GetEtaDrive),
        Reading("GetMainTemperature", &L::GetMainTemperature),
        Reading("GetMainTemperatureCommand", &L::GetMainTemperatureCommand),
        Reading("GetMainDrive", &L::GetMainDrive),
        Reading("GetCurrent", &L::GetCurrent),
        Reading("GetCurrentCommand", &L::GetCurrentCommand),
        Reading("GetCurrentLimit", &L::GetCurrentLimit),
        Reading("GetLaserState", &L::GetLaserState),
        Reading("GetPowerCommand", &L::GetPowerCommand),
        Reading("GetPowerMemory", &L::GetPowerMemory),
        Reading("GetPowerLimit", &L::GetPowerLimit),
        Reading("GetPower", &L::GetPower),
        Reading("GetPowerUnits", &L::GetPowerUnits),
    };
}

std::vector<Step> Changes() {
    using L = CommonLaser;
    return {
        Setting("SetConfigByte0", &L::SetConfigByte0, 0x05),
        Setting("SetConfigByte2", &L::SetConfigByte2, 0x77),
        Setting("SetShutterCommand", &L::SetShutterCommand, 1),
        Setting("SetKeySwitchCommand", &L::SetKeySwitchCommand, 1),
        Setting("SetAnalogModeCommand", &L::SetAnalogModeCommand, 1),
        Setting("SetRemoteCommand", &L::SetRemoteCommand, 1),
        Setting("SetCurrentCommand", &L::SetCurrentCommand, 1.25),
        Reading("GetCurrentCommand", &L::GetCurrentCommand),
        Setting("SetCurrentCommand", &L::SetCurrentCommand, 2.0),  // one code too many
        Setting("SetPowerCommand", &L::SetPowerCommand, 1.5),
        Setting("SetPowerMemory", &L::SetPowerMemory, 3.0),
        Reading("GetPowerCommand", &L::GetPowerCommand),
        Reading("GetPowerMemory", &L::GetPowerMemory),
        Setting("SetMainTemperatureCommand", &L::SetMainTemperatureCommand, 27.5),
        Setting("SetMainTemperatureCommand", &L::SetMainTemperatureCommand, 15.0001),
        Setting("SetBrfSetpoint", &L::SetBrfSetpoint, 1.0),
        Loading("LoadMatchValues", &L::LoadMatchValues),
        Reading("MatchHeadSettings", &L::MatchHeadSettings),
        Loading("LoadMatchValuesSecondary", &L::LoadMatchValuesSecondary),
        Matching("MatchCurrentLimit", &L::MatchCurrentLimit, 1.0),
        Matching("MatchPowerLimit", &L::MatchPowerLimit, 0.5),
        Matching("MatchPowerCommand", &L::MatchPowerCommand, 0.25),
        Matching("MatchMainTemperature", &L::MatchMainTemperature, 30.0),
        Setting("SetControlModeCommand", &L::SetControlModeCommand, 1),
        Setting("SetShutterCommand", &L::SetShutterCommand, 0),
    };
}

// What the writes leave in the parts, as text.
std::string PartsState(VirtualSupply &supply) {
    std::string state = "dac " + Shown(supply.Dac().Output()) + "/" + Shown(supply.Dac().Memory());
    for (uint8_t channel = 0; channel < 4; ++channel) {
        state += " wiper" + Shown(channel) + " " +
                 Shown(supply.Wiper(VirtualSupply::kMainPot, channel)) + "/" +
                 Shown(supply.Pot(VirtualSupply::kMainPot).StoredWiper(channel));
    }
    for (uint8_t port = 0; port < 2; ++port) {
        state += " glue" + Shown(port) + " " + Shown(supply.Expander(kGlueOutputs).Output(port)) +
                 "/" + Shown(supply.Expander(kGlueOutputs).Config(port));
    }
    for (uint8_t byte : supply.ReadMemory(kMemory, 0x1A0, 4)) state.append(" ").append(Shown(byte));
    return state;
}

TEST_F(CommonLaserOverBothTransports, EveryBaseOperationGivesTheSameResultOverEitherTransport) {
    OnBothSupplies([](VirtualSupply &supply) {
        supply.SetAdcCode(0x90, 0x94, 2100);
        supply.SetAdcCode(0x90, 0xD4, 1000);
        supply.SetAdcCode(0x90, 0x84, 777);
        supply.SetAdcCode(0x90, 0xE4, 3000);
        supply.SetExternalLevels(0x40, 0, 0x5A);
        supply.SetExternalLevels(0x40, 1, 0xC3);
        supply.SetExternalLevels(0x44, 1, 0x81);
        supply.SetExternalLevels(0x48, 0, 0x02);
        supply.SetExternalLevels(0x48, 1, 0x15);
        supply.SetElapsedQuarterSeconds(7 * 14400 + 99);
        supply.WriteWord(kMemory, 0x17C, 2 * 14400, ByteOrder::MostSignificantFirst);
        supply.WriteSingle(kMemory, 0x190, 1.5f, ByteOrder::MostSignificantFirst);
        supply.WriteSingle(kMemory, 0x19C, 22.0f, ByteOrder::MostSignificantFirst);
    });
    for (Side *side : {&adapter, &bridgeSide}) {
        On(*side, [](CommonLaser &laser) {
            laser.currentFullScale = 2.0;
            laser.powerFullScale = 4.0;
        });
    }

    std::vector<Step> steps = EveryReading();
    for (Step &change : Changes()) steps.push_back(std::move(change));
    for (Step &reading : EveryReading()) steps.push_back(std::move(reading));
    for (const Step &step : steps) {
        const std::string overAdapter = On(adapter, step.run);
        const std::string overBridge = On(bridgeSide, step.run);
        EXPECT_EQ(overBridge, overAdapter) << step.name;
    }
    EXPECT_EQ(BridgeSupplyAfterTraffic(PartsState),
              PartsState(ea::Supply(adapterHandle)));
}

TEST_F(CommonLaserOverBothTransports, LiteralResultsOverTheBridge) {
    OnBothSupplies([](VirtualSupply &supply) {
        supply.SetExternalLevels(0x40, 1, 0x12);
        supply.SetExternalLevels(0x40, 0, 0x34);
        supply.SetExternalLevels(0x48, 0, 0x02);  // key switch pin high: inverted, off
        supply.SetExternalLevels(0x48, 1, 0x05);  // analog and control mode
        supply.SetElapsedQuarterSeconds(3 * 14400 + 2);
        supply.WriteWord(kMemory, 0x17C, 2 * 14400, ByteOrder::MostSignificantFirst);
        const uint8_t bytes[] = {0x11, 0x22, 0x33, 0x44};
        supply.WriteMemory(kMemory, 0x1A0, bytes);
    });
    On(bridgeSide, [&](CommonLaser &laser) {
        EXPECT_EQ(laser.GetSupplyDigitalIo(), 0x1234);
        EXPECT_EQ(laser.GetKeySwitchState(), 0);
        EXPECT_EQ(laser.GetInterlockState(), 0);
        EXPECT_EQ(laser.GetAnalogModeState(), 1);
        EXPECT_EQ(laser.GetControlModeState(), 1);
        EXPECT_EQ(laser.GetFanState(), 1);
        EXPECT_DOUBLE_EQ(laser.GetElectronicsHours(), 3.0);
        EXPECT_DOUBLE_EQ(laser.GetHeadHours(), 5.0);
        EXPECT_EQ(laser.GetConfigByte0(), 0x11);
        EXPECT_EQ(laser.GetConfigByte3(), 0x44);
        laser.SetConfigByte1(0x99);
        EXPECT_EQ(laser.GetConfigByte1(), 0x99);

        // The command read-backs come over the GPIO lines and give the code just written.
        laser.currentFullScale = 2.0;
        laser.powerFullScale = 4.0;
        laser.SetCurrentCommand(1.0);
        EXPECT_DOUBLE_EQ(laser.GetCurrentCommand(), 1.0);
        EXPECT_EQ(BridgeSupplyAfterTraffic([](VirtualSupply &s) { return s.Dac().Output(); }), 512);
        laser.SetPowerCommand(0.5);
        EXPECT_DOUBLE_EQ(laser.GetPowerCommand(), 0.5);
        laser.SetPowerMemory(3.0);
        EXPECT_DOUBLE_EQ(laser.GetPowerMemory(), 3.0);
        laser.SetCurrentCommand(1023 * 2.0 / 1024);
        EXPECT_DOUBLE_EQ(laser.GetCurrentCommand(), 1023 * 2.0 / 1024);
        EXPECT_EQ(BridgeSupplyAfterTraffic([](VirtualSupply &s) {
                      return std::vector<int>{s.Dac().Output(), s.Dac().Memory()};
                  }),
                  (std::vector<int>{1023, 768}));
    });
}

// The I2C conditions and bits that the GPIO frames put on the two lines, seen from the master:
// "S" a start, "P" a stop, a digit the data line at each rising clock edge. Bits outside a
// transfer are not shown; a frame other than GPIO and internal register frames shows as "?".
std::string LineEvents(const Bytes &frames) {
    constexpr uint8_t kData = 0x10, kClock = 0x20;
    std::string events;
    bool transfer = false;
    int previous = -1;
    for (size_t at = 0; at < frames.size();) {
        const uint8_t letter = frames[at];
        if (letter == 'I') {
            at += 2;
        } else if (letter == 'R') {
            at += 3;
        } else if (letter == 'W') {
            at += 4;
        } else if (letter == 'O' && at + 1 < frames.size()) {
            const int state = frames[at + 1];
            if (previous >= 0) {
                const bool clockHigh = (previous & kClock) && (state & kClock);
                if (clockHigh && (previous & kData) && !(state & kData)) {
                    events += 'S';
                    transfer = true;
                } else if (clockHigh && !(previous & kData) && (state & kData)) {
                    events += 'P';
                    transfer = false;
                } else if (transfer && !(previous & kClock) && (state & kClock)) {
                    events += (state & kData) ? '1' : '0';
                }
            }
            previous = state;
            at += 3;
        } else {
            events += '?';
            at += 1;
        }
    }
    return events;
}

TEST_F(CommonLaserOverBothTransports, FramesOnTheBridgeLine) {
    On(bridgeSide, [&](CommonLaser &laser) {
        // A configuration byte: a write of one byte at a two-byte memory offset.
        bridge.Line().ClearReceived();
        laser.SetConfigByte2(0x77);
        ASSERT_TRUE(bridge.Line().WaitForReceived(7, 10s));
        EXPECT_EQ(bridge.Line().Received(), (Bytes{'S', 0xA4, 0x03, 0x01, 0xA2, 0x77, 'P'}));

        // An ordinary read, twice until two agree.
        bridge.Line().ClearReceived();
        EXPECT_EQ(laser.GetConfigByte2(), 0x77);
        const Bytes read{'S', 0xA4, 0x02, 0x01, 0xA2, 'S', 0xA5, 0x01, 'P'};
        Bytes twice = read;
        twice.insert(twice.end(), read.begin(), read.end());
        EXPECT_EQ(bridge.Line().Received(), twice);

        // The current command read-back: the converter's address in its reading form, the
        // command 0x80, two bytes read with the master's acknowledge between them, no second
        // start; the bits read show as the released line on the master's side.
        laser.currentFullScale = 2.0;
        laser.SetCurrentCommand(0.5);
        NXP::ReadRegister(NXP::BridgeOn(bridgePort));
        bridge.Line().ClearReceived();
        EXPECT_DOUBLE_EQ(laser.GetCurrentCommand(), 0.5);
        // The last frames of the stop are sent unanswered.
        NXP::ReadRegister(NXP::BridgeOn(bridgePort));
        const std::string alternativeRead =
            "S01010011"
            "1"
            "10000000"
            "1"
            "11111111"
            "0"
            "11111111"
            "0P";
        EXPECT_EQ(LineEvents(bridge.Line().Received()), alternativeRead + alternativeRead);
    });

    // The same write over the adapter carries the same address, offset and byte.
    On(adapter, [](CommonLaser &laser) { laser.SetConfigByte2(0x77); });
    const EmulatedTransfer last = ea::Transfers().back();
    EXPECT_EQ((Bytes(last.control, last.control + last.controlCount)), (Bytes{0xA4, 0x01, 0xA2}));
    EXPECT_EQ((Bytes(last.data, last.data + last.dataCount)), (Bytes{0x77}));
}

}  // namespace

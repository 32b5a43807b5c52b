// The command gate on the simulated head: what each door's client may send (queries always; a
// setting with control allowed and the door's proof), the refusals' words, the answer always on
// the loop and never within the call; and the client address ranges the Modbus door's writers are
// named by, bit by bit.
#include "command_gate.h"

#include "command_executor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

constexpr char kToken[] = "0123456789abcdef0123456789abcdef";

AccessPolicy Policy(bool allowControl) {
    AccessPolicy policy;
    policy.allowControl = allowControl;
    policy.token = kToken;
    policy.modbusWriters = {*ParseAddressRange("192.168.10.0/23"), *ParseAddressRange("fd00::/8")};
    return policy;
}

class CommandGateTest : public testing::Test {
protected:
    // What the gate answered: "ran" (the head's reply with it) or the refusal's error.
    std::string Ask(CommandGate &gate, const Caller &caller, const std::string &command) {
        std::promise<GateAnswer> answered;
        gate.Submit(caller, device_, {{command}, BatchMode::Every}, [&](GateAnswer answer) {
            EXPECT_TRUE(loop_.OnLoopThread());
            answered.set_value(std::move(answer));
        });
        auto future = answered.get_future();
        if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return "no answer";
        const GateAnswer answer = future.get();
        if (answer.refusal) {
            last_ = *answer.refusal;
            return answer.refusal->error;
        }
        return answer.result.outcome == BatchOutcome::Ran ? "ran" : "not run";
    }

    EventLoop loop_;
    std::shared_ptr<ServedDevice> device_ = std::make_shared<ServedDevice>(
        "simulated", DeviceIdentity{"--simulated", "simulated", "Dummy"},
        std::make_shared<CommandExecutor>(MAVOZARP_SIMULATED_HANDLE, loop_, std::chrono::seconds(2),
                                          CommandExecutor::Place::Caller));
    Refusal last_{};
};

TEST_F(CommandGateTest, EachDoorProvesItsClientInItsOwnWay) {
    CommandGate gate(loop_, Policy(true));
    struct Case {
        Caller caller;
        const char *setting;  // what "PCMD=1" meets
    };
    const Case cases[] = {
        {{Door::Http, "127.0.0.1", kToken}, "ran"},
        {{Door::Http, "127.0.0.1", std::nullopt}, "token-required"},
        {{Door::Dashboard, "127.0.0.1", "wrong"}, "wrong-token"},
        {{Door::Socket, "127.0.0.1", kToken}, "ran"},
        {{Door::Mqtt, "", std::nullopt}, "ran"},
        // Modbus goes by the address alone; a token means nothing there.
        {{Door::Modbus, "192.168.11.200", std::nullopt}, "ran"},
        {{Door::Modbus, "::ffff:192.168.10.1", std::nullopt}, "ran"},
        {{Door::Modbus, "192.168.12.1", kToken}, "not-a-writer"},
        {{Door::Modbus, "fd12::1", std::nullopt}, "ran"},
        {{Door::Modbus, "fe80::1", std::nullopt}, "not-a-writer"},
    };
    for (const Case &each : cases) {
        SCOPED_TRACE(each.caller.address + " door " + std::to_string(static_cast<int>(each.caller.door)));
        EXPECT_EQ(Ask(gate, each.caller, "PCMD=1"), each.setting);
        EXPECT_EQ(Ask(gate, each.caller, "?PCMD"), "ran");  // queries are open at every door
    }
    EXPECT_TRUE(gate.MayChangeSettings({Door::Modbus, "192.168.10.7", std::nullopt}));
    EXPECT_FALSE(gate.MayChangeSettings({Door::Modbus, "192.168.9.255", std::nullopt}));
}

TEST_F(CommandGateTest, ReadOnlyRefusesSettingsAndEveryToken) {
    CommandGate gate(loop_, Policy(false));
    EXPECT_EQ(Ask(gate, {Door::Http, "127.0.0.1", kToken}, "PCMD=1"), "read-only");
    EXPECT_EQ(last_.status, 403);
    EXPECT_EQ(last_.message,
              "the service is read-only: commands that change a setting are refused (start it with --allow-control)");
    EXPECT_EQ(Ask(gate, {Door::Mqtt, "", std::nullopt}, "MATCH=1"), "read-only");
    EXPECT_EQ(last_.message, "this service is read-only: commands that change a setting need --allow-control");
    EXPECT_EQ(Ask(gate, {Door::Modbus, "192.168.10.1", std::nullopt}, "KSWCMD=1"), "read-only");
    EXPECT_FALSE(gate.MayChangeSettings({Door::Modbus, "192.168.10.1", std::nullopt}));
    EXPECT_EQ(gate.CheckToken({Door::Socket, "127.0.0.1", kToken})->error, "read-only");
    // Anything not a plain query is a setting, whatever a supply makes of it.
    EXPECT_EQ(Ask(gate, {Door::Socket, "127.0.0.1", std::nullopt}, "*RST"), "read-only");
}

TEST(AddressRange, ReadAndMatchedBitByBit) {
    for (const char *wrong : {"10.0.0.0/33", "10.0.0.0/", "10.0.0.0/8x", "fd00::/129", "host/8", "", "10.0.0.0/-1"})
        EXPECT_FALSE(ParseAddressRange(wrong)) << wrong;
    EXPECT_EQ(ParseAddressRange("10.1.2.3")->Text(), "10.1.2.3/32");
    EXPECT_EQ(ParseAddressRange("fd00::/8")->Text(), "fd00::/8");

    struct Case {
        const char *range;
        const char *address;
        bool in;
    };
    const Case cases[] = {
        {"10.1.2.3", "10.1.2.3", true},         {"10.1.2.3", "10.1.2.4", false},
        {"0.0.0.0/0", "203.0.113.9", true},     {"0.0.0.0/0", "::1", false},
        {"192.168.10.0/23", "192.168.11.255", true}, {"192.168.10.0/23", "192.168.12.0", false},
        {"128.0.0.0/1", "127.255.255.255", false}, {"128.0.0.0/1", "128.0.0.0", true},
        {"10.0.0.0/8", "::ffff:10.9.8.7", true}, {"10.0.0.0/8", "not an address", false},
        {"fd00::/7", "fcff::1", true},          {"fd00::/8", "fcff::1", false},
    };
    for (const Case &each : cases)
        EXPECT_EQ(InRange(*ParseAddressRange(each.range), each.address), each.in) << each.range << " " << each.address;
}

}  // namespace

// The command gate on the simulated head: what each door's client may send (queries always; a
// setting with control allowed and the door's proof, then by the user's role and the device's
// limits), the refusals' words, the audit line each leaves and their order under concurrent
// callers, the answer always on the loop and never within the call; and the client address
// ranges the Modbus door's writers are named by, bit by bit.
#include "command_gate.h"

#include "command_executor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include <unistd.h>

namespace {

constexpr char kToken[] = "0123456789abcdef0123456789abcdef";

constexpr char kViewer[] = "11111111111111111111111111111111";
constexpr char kOperator[] = "22222222222222222222222222222222";

// The token file's admin, a viewer and an operator.
UserDirectory Users() {
    UserDirectory users({{"vera", Role::Viewer, Sha256(kViewer)}, {"otto", Role::Operator, Sha256(kOperator)}});
    users.AddTokenFileAdmin(kToken);
    return users;
}

struct Folder {
    Folder() {
        char pattern[] = "/tmp/mavozarp-gate-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string path;
};

std::vector<Json> AuditLines(const std::string &path) {
    std::ifstream file(path);
    std::vector<Json> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(Json::parse(line));
    return lines;
}

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
    CommandGate gate(loop_, Policy(true), Users());
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
    CommandGate gate(loop_, Policy(false), Users());
    EXPECT_EQ(Ask(gate, {Door::Http, "127.0.0.1", kToken}, "PCMD=1"), "read-only");
    EXPECT_EQ(last_.status, 403);
    EXPECT_EQ(last_.message,
              "the service is read-only: commands that change a setting are refused (start it with --allow-control)");
    EXPECT_EQ(Ask(gate, {Door::Mqtt, "", std::nullopt}, "MATCH=1"), "read-only");
    EXPECT_EQ(last_.message, "this service is read-only: commands that change a setting need --allow-control");
    EXPECT_EQ(Ask(gate, {Door::Modbus, "192.168.10.1", std::nullopt}, "KSWCMD=1"), "read-only");
    EXPECT_FALSE(gate.MayChangeSettings({Door::Modbus, "192.168.10.1", std::nullopt}));
    std::promise<Admission> authenticated;
    gate.Authenticate({Door::Socket, "127.0.0.1", kToken}, [&](Admission admission) {
        authenticated.set_value(std::move(admission));
    });
    EXPECT_EQ(authenticated.get_future().get().refusal->error, "read-only");
    // Anything not a plain query is a setting, whatever a supply makes of it.
    EXPECT_EQ(Ask(gate, {Door::Socket, "127.0.0.1", std::nullopt}, "*RST"), "read-only");
}

TEST_F(CommandGateTest, TokenThenRoleThenControlThenLimitsEachAudited) {
    Folder folder;
    AuditTrail trail({folder.path + "/audit"});
    AccessPolicy policy = Policy(true);
    policy.namedUsers = true;
    CommandGate gate(loop_, policy, Users(), &trail);
    device_->Limits().SetLimits({.maxPowerCommand = 2.0, .maxCurrentCommand = {}, .refuse = {"KSWCMD=1"}});
    device_->ReadSettings(true);  // the head's power unit, as on its arrival
    struct Case {
        Caller caller;
        const char *command;
        const char *answer;
        Json user;      // in the audit line; nothing: no line
        Json status;
    };
    const Case cases[] = {
        {{Door::Http, "10.0.0.1", "not a token"}, "PCMD=1", "wrong-token", nullptr, "token"},
        {{Door::Socket, "10.0.0.2", kViewer}, "PCMD=1", "role", "vera", "role"},
        {{Door::Dashboard, "10.0.0.3", kOperator}, "PCMD=1.5", "ran", "otto", 0},
        {{Door::Http, "10.0.0.3", kOperator}, "pcmd=2.5", "limit", "otto", "limit"},
        {{Door::Http, "10.0.0.4", kToken}, "PMEM=3", "limit", "token-file", "limit"},
        {{Door::Http, "10.0.0.4", kToken}, "KSWCMD=1", "limit", "token-file", "limit"},
        // MATCH=1 programs stored values the service cannot see first.
        {{Door::Socket, "10.0.0.4", kToken}, "MATCH=1", "limit", "token-file", "limit"},
        // With named users, MQTT needs a user's token as well; Modbus has none and is its address.
        {{Door::Mqtt, "", std::nullopt}, "PCMD=1", "token-required", nullptr, "token"},
        {{Door::Mqtt, "", kOperator}, "PCMD=1", "ran", "otto", 0},
        {{Door::Modbus, "192.168.10.9", std::nullopt}, "PCMD=4", "limit", nullptr, "limit"},
        {{Door::Modbus, "192.168.10.9", std::nullopt}, "PCMD=0.5", "ran", nullptr, 0},
        // A viewer reads; queries are never audited.
        {{Door::Http, "10.0.0.2", kViewer}, "?PCMD", "ran", nullptr, nullptr},
    };
    for (const Case &each : cases) EXPECT_EQ(Ask(gate, each.caller, each.command), each.answer) << each.command;
    EXPECT_EQ(last_.status, 403);

    const std::vector<Json> lines = AuditLines(folder.path + "/audit");
    size_t next = 0;
    for (const Case &each : cases) {
        if (each.status.is_null()) continue;
        ASSERT_LT(next, lines.size());
        const Json &line = lines[next++];
        SCOPED_TRACE(line.dump());
        EXPECT_EQ(line["command"], each.command);
        EXPECT_EQ(line["user"], each.user);
        EXPECT_EQ(line["client"], each.caller.address);
        EXPECT_EQ(line["device"], "simulated");
        EXPECT_EQ(line["status"], each.status);
    }
    EXPECT_EQ(next, lines.size());
    EXPECT_EQ(lines[1]["role"], "viewer");
    EXPECT_EQ(lines[1]["door"], "socket");
    EXPECT_EQ(lines[2]["door"], "dashboard");
    EXPECT_EQ(lines[3]["reply"], "PCMD above 2.000 mW for this device");
    EXPECT_EQ(lines[7]["door"], "mqtt");
    EXPECT_EQ(lines[9]["door"], "modbus");
}

TEST_F(CommandGateTest, ConcurrentCallersLeaveTheirLinesInTheOrderTheDeviceRanThem) {
    Folder folder;
    AuditTrail trail({.path = folder.path + "/audit", .maxBytes = 8192, .keptFiles = 50});
    CommandGate gate(loop_, Policy(true), Users(), &trail);
    constexpr int kCallers = 8, kEach = 25;
    std::mutex mutex;
    std::vector<std::string> ran;  // in the order the answers came, which is the device's
    std::atomic<int> answered{0};
    std::vector<std::thread> callers;
    for (int caller = 0; caller < kCallers; ++caller) {
        callers.emplace_back([&, caller] {
            for (int i = 0; i < kEach; ++i) {
                const std::string command = "PCMD=" + std::to_string(caller) + "." + std::to_string(i + 100);
                gate.Submit({Door::Http, "127.0.0.1", kOperator}, device_, {{command}, BatchMode::Every},
                            [&, command](GateAnswer answer) {
                                EXPECT_FALSE(answer.refusal);
                                std::lock_guard lock(mutex);
                                ran.push_back(command);
                                ++answered;
                            });
            }
        });
    }
    for (std::thread &caller : callers) caller.join();
    for (int waited = 0; answered < kCallers * kEach && waited < 3000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(answered, kCallers * kEach);

    // Every file of the rotation, oldest first: one line per command, completed, in the device's order.
    std::vector<std::string> logged;
    for (int generation = 50; generation >= 0; --generation) {
        const std::string path = folder.path + "/audit" + (generation ? "." + std::to_string(generation) : "");
        for (const Json &line : AuditLines(path)) {
            EXPECT_EQ(line["status"], 0) << line.dump();
            logged.push_back(line["command"]);
        }
    }
    EXPECT_TRUE(std::filesystem::exists(folder.path + "/audit.2"));  // it did rotate
    EXPECT_EQ(logged, ran);
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

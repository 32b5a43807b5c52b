#include "command_gate.h"

#include "command_executor.h"

#include <algorithm>

namespace {

// How a door's client proves that it may change a setting, once control is allowed.
enum class Proof : uint8_t {
    Token,          // the service's token
    ListedAddress,  // the client's address among those named as writers
    Broker,         // who may publish commands is the broker's to check, by its own users
};

struct DoorRule {
    Door door;
    Proof proof;
    const char *readOnly;  // why a setting is refused on a read-only service
};

constexpr char kReadOnly[] =
    "the service is read-only: commands that change a setting are refused (start it with --allow-control)";

constexpr DoorRule kDoorRules[] = {
    {.door = Door::Http, .proof = Proof::Token, .readOnly = kReadOnly},
    {.door = Door::Dashboard, .proof = Proof::Token, .readOnly = kReadOnly},
    {.door = Door::Socket, .proof = Proof::Token, .readOnly = kReadOnly},
    {.door = Door::Mqtt,
     .proof = Proof::Broker,
     .readOnly = "this service is read-only: commands that change a setting need --allow-control"},
    // Modbus has no identity: the client's address is all there is to go by.
    {.door = Door::Modbus, .proof = Proof::ListedAddress, .readOnly = kReadOnly},
};

const DoorRule &RuleOf(Door door) {
    return *std::find_if(std::begin(kDoorRules), std::end(kDoorRules),
                         [door](const DoorRule &rule) { return rule.door == door; });
}

}  // namespace

CommandGate::CommandGate(EventLoop &loop, AccessPolicy policy) : loop_(loop), policy_(std::move(policy)) {}

std::optional<Refusal> CommandGate::CheckToken(const Caller &caller) const {
    // Where control is off no token unlocks anything: say so, not whether this one is right.
    if (!policy_.allowControl) {
        return Refusal{403, "read-only",
                       "control is not allowed here: the service is read-only (start it with --allow-control)"};
    }
    if (!caller.token || !SameSecret(*caller.token, policy_.token))
        return Refusal{401, "wrong-token", "the token is wrong"};
    return std::nullopt;
}

std::optional<Refusal> CommandGate::ControlRefusal(const Caller &caller) const {
    const DoorRule &rule = RuleOf(caller.door);
    if (!policy_.allowControl) return Refusal{403, "read-only", rule.readOnly};
    switch (rule.proof) {
        case Proof::Token:
            if (!caller.token)
                return Refusal{401, "token-required", "a command that changes a setting needs the token"};
            if (!SameSecret(*caller.token, policy_.token)) return Refusal{401, "wrong-token", "the token is wrong"};
            return std::nullopt;
        case Proof::ListedAddress:
            if (std::none_of(policy_.modbusWriters.begin(), policy_.modbusWriters.end(),
                             [&](const AddressRange &range) { return InRange(range, caller.address); })) {
                return Refusal{403, "not-a-writer", "this client's address is not one --modbus-control names"};
            }
            return std::nullopt;
        case Proof::Broker:
            break;
    }
    return std::nullopt;
}

void CommandGate::Submit(const Caller &caller, const std::shared_ptr<ServedDevice> &device, CommandBatch batch,
                         GateDone done) {
    const bool changes = std::any_of(batch.commands.begin(), batch.commands.end(), ChangesSetting);
    if (changes) {
        if (std::optional<Refusal> refusal = ControlRefusal(caller)) {
            return loop_.Post([done = std::move(done), refusal = std::move(*refusal)]() mutable {
                done({std::move(refusal), {}});
            });
        }
    }
    device->Submit(std::move(batch), [done = std::move(done)](BatchResult result) {
        done({std::nullopt, std::move(result)});
    });
}

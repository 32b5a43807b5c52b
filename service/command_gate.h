// The one check between every door and a device. A door names who is asking (itself, the
// client's address, the credentials presented) and the commands; the gate decides whether they
// may be sent and sends them. Queries are open to every door; a command that changes a setting
// needs --allow-control and the door's proof of its client: the token at the HTTP API, the
// dashboard and the instrument sockets, a listed client address at the Modbus door (which has no
// identity), the broker's own authentication for MQTT.
//
// The answer is a continuation on the event loop, never within the call, whether the commands ran
// or were refused: a step that must wait before a command is sent (a line made durable on disk)
// then never waits on the loop's thread, and every door already answers when its device is done.
#pragma once

#include "access_policy.h"
#include "event_loop.h"
#include "served_device.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

enum class Door : uint8_t { Http, Dashboard, Socket, Mqtt, Modbus };

// Who is asking, as the door knows them.
struct Caller {
    Door door;
    std::string address;               // the client's; empty where the door has none (MQTT)
    std::optional<std::string> token;  // as presented: the bearer header, an accepted AUTH
};

struct GateAnswer {
    std::optional<Refusal> refusal;  // refused: nothing was sent
    BatchResult result;              // admitted: what became of the batch on the device
};

using GateDone = std::function<void(GateAnswer)>;

class CommandGate {
public:
    CommandGate(EventLoop &loop, AccessPolicy policy);

    const AccessPolicy &Policy() const { return policy_; }

    // Whether the caller may change settings at all: for a door that refuses a write before it
    // knows what the write would send (a Modbus write gets exception 01 before its addresses are
    // looked at).
    bool MayChangeSettings(const Caller &caller) const { return !ControlRefusal(caller); }

    // A token presented before any command (an instrument socket's AUTH): nothing when it unlocks
    // control, else why not.
    std::optional<Refusal> CheckToken(const Caller &caller) const;

    // Sends the batch to the device when the caller may send each of its commands. `done` runs
    // once, on the loop, never within this call. Any thread.
    void Submit(const Caller &caller, const std::shared_ptr<ServedDevice> &device, CommandBatch batch,
                GateDone done);

private:
    std::optional<Refusal> ControlRefusal(const Caller &caller) const;

    EventLoop &loop_;
    const AccessPolicy policy_;
};

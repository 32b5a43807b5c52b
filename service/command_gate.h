// The one check between every door and a device. A door names who is asking (itself, the
// client's address, the credentials presented) and the commands; the gate decides whether they
// may be sent and sends them. For each command that changes a setting, in this order: who
// presents the token (a token no user has is refused), what the user's role allows, whether the
// service allows control at all and the door's proof of its client (a user's token at the HTTP
// API, the dashboard and the instrument sockets; a listed client address at the Modbus door,
// which has no identity; at MQTT the broker's own authentication, or a user's token once a users
// file names who may do what), then the device's limits. Queries are open to every door.
//
// With an audit log, every setting leaves a line made durable before its batch is sent and
// completed with its outcome, and every refused setting or token a line of its own; a setting
// the log cannot take is refused. The log's writes run on its own thread (AuditTrail), where
// every batch is also submitted, in the order the gate was asked.
//
// The answer is a continuation on the event loop, never within the call, whether the commands ran
// or were refused: a door never waits for the disk, and every door already answers when its
// device is done.
#pragma once

#include "access_policy.h"
#include "audit_reader.h"
#include "audit_trail.h"
#include "event_loop.h"
#include "roles.h"
#include "served_device.h"
#include "users.h"

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

// Who a caller is, or why the caller may not do what was asked.
struct Admission {
    std::optional<Refusal> refusal;
    std::optional<User> user;  // nothing: no token presented (or none needed)
};

class CommandGate {
public:
    // `users` holds whoever may present a token (the --token-file's token among them, as an
    // admin); `audit` is the audit log's thread, or null when no log is kept. The trail must
    // outlive every answer the gate posts to the loop.
    CommandGate(EventLoop &loop, AccessPolicy policy, UserDirectory users = UserDirectory(),
                AuditTrail *audit = nullptr);

    const AccessPolicy &Policy() const { return policy_; }
    bool Audited() const { return audit_ != nullptr; }

    // Whether the caller may change settings at all: for a door that refuses a write before it
    // knows what the write would send (a Modbus write gets exception 01 before its addresses are
    // looked at).
    bool MayChangeSettings(const Caller &caller) const;

    // The user whose token this is, or nothing; one digest, compared in constant time.
    std::optional<User> UserOf(std::string_view token) const { return users_.Find(token); }

    // A token presented before any command (an instrument socket's AUTH): `done` gets the user it
    // unlocks or why not (a token no user has is audited). Runs `done` on the loop.
    void Authenticate(const Caller &caller, std::function<void(Admission)> done);

    // Whether the caller's token is a user's whose role allows `action` (changing the limits,
    // reading the audit log); a refusal is audited as `what` was asked of `device`. Runs `done`
    // on the loop.
    void Authorize(const Caller &caller, Action action, std::string what, std::optional<std::string> device,
                   std::function<void(Admission)> done);

    // A request refused at the door for its token (a wrong token where reading needs one), told
    // to the audit log; `told` runs on the loop once it is written (or could not be).
    void RecordRefusal(const Caller &caller, std::string what, const Refusal &refusal, std::function<void()> told);

    // `change` made by an authorized user, as `command` on `device`, after its line is durable:
    // `done` gets nothing, or the refusal when the audit log cannot take the line (`change` then
    // never runs). `change` runs on the audit log's thread. Runs `done` on the loop.
    void RunAudited(const Caller &caller, const User &user, const std::string &device, std::string command,
                    std::function<void()> change, std::function<void(std::optional<Refusal>)> done);

    // The audit log's entries (nothing when no log is kept), read away from the loop. Runs `done`
    // on the loop.
    void ReadAuditLog(AuditQuery query, std::function<void(std::optional<AuditPage>)> done);

    // Sends the batch to the device when the caller may send each of its commands. `done` runs
    // once, on the loop, never within this call. Any thread.
    void Submit(const Caller &caller, const std::shared_ptr<ServedDevice> &device, CommandBatch batch,
                GateDone done);

private:
    // Who presents the caller's token: a refusal for a token no user has.
    Admission Identify(const Caller &caller) const;
    // Why the caller may not change a setting, or nothing: read-only, then the door's proof.
    std::optional<Refusal> ControlRefusal(const Caller &caller, const std::optional<User> &user) const;
    // Runs `job` after every job handed over before it: on the audit log's thread, or at once
    // (with no log) when none is kept.
    void Ordered(std::function<void(AuditLog *)> job);
    // The refusal told to the audit log, one line for each of `commands`, then `done` on the loop.
    void Refuse(const Caller &caller, const std::optional<User> &user, const std::optional<std::string> &device,
                std::vector<std::string> commands, Refusal refusal, std::function<void(Refusal)> done);
    // The batch's setting lines made durable, the batch sent, each line completed with its outcome.
    void SubmitAudited(const Caller &caller, const std::optional<User> &user,
                       const std::shared_ptr<ServedDevice> &device, CommandBatch batch, GateDone done);

    EventLoop &loop_;
    const AccessPolicy policy_;
    const UserDirectory users_;
    AuditTrail *const audit_;
};

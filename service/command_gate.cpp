#include "command_gate.h"

#include "command_executor.h"

#include <algorithm>

namespace {

// How a door's client proves that it may change a setting, once control is allowed.
enum class Proof : uint8_t {
    Token,          // a user's token
    ListedAddress,  // the client's address among those named as writers
    Broker,         // the broker's own users; a user's token as well once a users file names them
};

struct DoorRule {
    Door door;
    std::string_view name;  // in the audit log
    Proof proof;
    const char *readOnly;  // why a setting is refused on a read-only service
};

constexpr char kReadOnly[] =
    "the service is read-only: commands that change a setting are refused (start it with --allow-control)";

constexpr DoorRule kDoorRules[] = {
    {.door = Door::Http, .name = "http", .proof = Proof::Token, .readOnly = kReadOnly},
    {.door = Door::Dashboard, .name = "dashboard", .proof = Proof::Token, .readOnly = kReadOnly},
    {.door = Door::Socket, .name = "socket", .proof = Proof::Token, .readOnly = kReadOnly},
    {.door = Door::Mqtt,
     .name = "mqtt",
     .proof = Proof::Broker,
     .readOnly = "this service is read-only: commands that change a setting need --allow-control"},
    // Modbus has no identity: the client's address is all there is to go by.
    {.door = Door::Modbus, .name = "modbus", .proof = Proof::ListedAddress, .readOnly = kReadOnly},
};

const DoorRule &RuleOf(Door door) {
    return *std::find_if(std::begin(kDoorRules), std::end(kDoorRules),
                         [door](const DoorRule &rule) { return rule.door == door; });
}

// What the audit log calls a refusal, by the refusal's error.
struct AuditStatus {
    std::string_view error;
    std::string_view status;
};

constexpr AuditStatus kAuditStatuses[] = {
    {.error = "wrong-token", .status = "token"}, {.error = "token-required", .status = "token"},
    {.error = "role", .status = "role"},         {.error = "read-only", .status = "read-only"},
    {.error = "not-a-writer", .status = "read-only"}, {.error = "limit", .status = "limit"},
};

std::string_view AuditStatusOf(const Refusal &refusal) {
    const auto found = std::find_if(std::begin(kAuditStatuses), std::end(kAuditStatuses),
                                    [&](const AuditStatus &each) { return each.error == refusal.error; });
    return found != std::end(kAuditStatuses) ? found->status : std::string_view(refusal.error);
}

const Refusal kWrongToken{401, "wrong-token", "the token is wrong"};

Refusal AuditRefusal(const AuditUnavailable &problem) {
    return {503, "audit", std::string("the audit log cannot record it, so it is not done: ") + problem.what()};
}

AuditEntry EntryOf(const Caller &caller, const std::optional<User> &user, std::optional<std::string> device,
                   std::string command) {
    return {.user = user ? std::optional(user->name) : std::nullopt,
            .role = user ? std::optional(std::string(RoleName(user->role))) : std::nullopt,
            .door = std::string(RuleOf(caller.door).name),
            .client = caller.address,
            .device = std::move(device),
            .command = std::move(command)};
}

// The outcome of a setting the batch did not send.
const char *UnsentStatus(BatchOutcome outcome) {
    switch (outcome) {
        case BatchOutcome::Busy:
            return "busy";
        case BatchOutcome::Gone:
            return "gone";
        case BatchOutcome::Ran:
            break;
    }
    return "unsent";
}

}  // namespace

CommandGate::CommandGate(EventLoop &loop, AccessPolicy policy, UserDirectory users, AuditTrail *audit)
    : loop_(loop), policy_(std::move(policy)), users_(std::move(users)), audit_(audit) {}

bool CommandGate::MayChangeSettings(const Caller &caller) const {
    const Admission admission = Identify(caller);
    return !admission.refusal && !ControlRefusal(caller, admission.user);
}

Admission CommandGate::Identify(const Caller &caller) const {
    if (!caller.token) return {};
    std::optional<User> user = users_.Find(*caller.token);
    if (!user) return {.refusal = kWrongToken, .user = std::nullopt};
    return {.refusal = std::nullopt, .user = std::move(user)};
}

std::optional<Refusal> CommandGate::ControlRefusal(const Caller &caller, const std::optional<User> &user) const {
    const DoorRule &rule = RuleOf(caller.door);
    if (!policy_.allowControl) return Refusal{403, "read-only", rule.readOnly};
    switch (rule.proof) {
        case Proof::Token:
            if (!caller.token)
                return Refusal{401, "token-required", "a command that changes a setting needs the token"};
            if (!user) return kWrongToken;
            return std::nullopt;
        case Proof::ListedAddress:
            if (std::none_of(policy_.modbusWriters.begin(), policy_.modbusWriters.end(),
                             [&](const AddressRange &range) { return InRange(range, caller.address); })) {
                return Refusal{403, "not-a-writer", "this client's address is not one --modbus-control names"};
            }
            return std::nullopt;
        case Proof::Broker:
            if (policy_.namedUsers && !caller.token) {
                return Refusal{401, "token-required",
                               "a command that changes a setting needs a user's token (the MQTT 5 user property "
                               "\"token\")"};
            }
            return std::nullopt;
    }
    return std::nullopt;
}

void CommandGate::Ordered(std::function<void(AuditLog *)> job) {
    if (audit_ == nullptr) return job(nullptr);
    audit_->Queue([job = std::move(job)](AuditLog &log) { job(&log); });
}

void CommandGate::Refuse(const Caller &caller, const std::optional<User> &user,
                         const std::optional<std::string> &device, std::vector<std::string> commands,
                         Refusal refusal, std::function<void(Refusal)> done) {
    std::vector<AuditEntry> entries;
    for (std::string &command : commands) entries.push_back(EntryOf(caller, user, device, std::move(command)));
    Ordered([&loop = loop_, entries = std::move(entries), refusal = std::move(refusal),
             done = std::move(done)](AuditLog *log) mutable {
        if (log != nullptr) {
            try {
                for (const AuditEntry &entry : entries) log->Refused(entry, AuditStatusOf(refusal), refusal.message);
            } catch (const AuditUnavailable &) {
                // Refused all the same; only the log cannot tell of it.
            }
        }
        loop.Post([refusal = std::move(refusal), done = std::move(done)]() mutable { done(std::move(refusal)); });
    });
}

void CommandGate::Authenticate(const Caller &caller, std::function<void(Admission)> done) {
    // Where control is off no token unlocks anything: say so, not whether this one is right.
    if (!policy_.allowControl) {
        Refusal refusal{403, "read-only",
                        "control is not allowed here: the service is read-only (start it with --allow-control)"};
        return loop_.Post([done = std::move(done), refusal = std::move(refusal)]() mutable {
            done({.refusal = std::move(refusal), .user = std::nullopt});
        });
    }
    Admission admission = Identify(caller);
    if (!admission.refusal) {
        return loop_.Post([done = std::move(done), admission = std::move(admission)]() mutable {
            done(std::move(admission));
        });
    }
    Refuse(caller, std::nullopt, std::nullopt, {"AUTH"}, *admission.refusal,
           [done = std::move(done)](Refusal refusal) { done({.refusal = std::move(refusal), .user = std::nullopt}); });
}

void CommandGate::Authorize(const Caller &caller, Action action, std::string what, std::optional<std::string> device,
                            std::function<void(Admission)> done) {
    Admission admission = Identify(caller);
    if (!caller.token) admission.refusal = Refusal{401, "token-required", "this needs an admin's token"};
    if (!admission.refusal) admission.refusal = CheckRole(admission.user->name, admission.user->role, action);
    if (!admission.refusal) {
        return loop_.Post([done = std::move(done), admission = std::move(admission)]() mutable {
            done(std::move(admission));
        });
    }
    Refuse(caller, admission.user, device, {std::move(what)}, *admission.refusal,
           [done = std::move(done), user = admission.user](Refusal refusal) {
               done({.refusal = std::move(refusal), .user = user});
           });
}

void CommandGate::RecordRefusal(const Caller &caller, std::string what, const Refusal &refusal,
                                std::function<void()> told) {
    Refuse(caller, std::nullopt, std::nullopt, {std::move(what)}, refusal,
           [told = std::move(told)](const Refusal &) { told(); });
}

void CommandGate::RunAudited(const Caller &caller, const User &user, const std::string &device, std::string command,
                             std::function<void()> change, std::function<void(std::optional<Refusal>)> done) {
    Ordered([&loop = loop_, entry = EntryOf(caller, user, device, std::move(command)), change = std::move(change),
             done = std::move(done)](AuditLog *log) mutable {
        std::optional<Refusal> refusal;
        try {
            std::optional<AuditLog::Pending> pending;
            if (log != nullptr) pending = log->Begin(entry);
            change();
            if (pending) pending->Finish(0, "");
        } catch (const AuditUnavailable &problem) {
            refusal = AuditRefusal(problem);
        }
        loop.Post([refusal = std::move(refusal), done = std::move(done)]() mutable { done(std::move(refusal)); });
    });
}

void CommandGate::ReadAuditLog(AuditQuery query, std::function<void(std::optional<AuditPage>)> done) {
    Ordered([&loop = loop_, query = std::move(query), done = std::move(done)](AuditLog *log) mutable {
        std::optional<AuditPage> page;
        if (log != nullptr) page = ReadAudit(log->Snapshot(), query);
        loop.Post([page = std::move(page), done = std::move(done)]() mutable { done(std::move(page)); });
    });
}

void CommandGate::Submit(const Caller &caller, const std::shared_ptr<ServedDevice> &device, CommandBatch batch,
                         GateDone done) {
    std::vector<std::string> settings;
    std::copy_if(batch.commands.begin(), batch.commands.end(), std::back_inserter(settings), ChangesSetting);
    if (settings.empty()) return SubmitAudited(caller, std::nullopt, device, std::move(batch), std::move(done));

    Admission admission = Identify(caller);
    std::optional<Refusal> &refusal = admission.refusal;
    if (!refusal && admission.user)
        refusal = CheckRole(admission.user->name, admission.user->role, Action::Set);
    if (!refusal) refusal = ControlRefusal(caller, admission.user);
    for (const std::string &setting : settings) {
        if (!refusal) refusal = device->Limits().Check(setting);
    }
    if (refusal) {
        return Refuse(caller, admission.user, device->Id(), std::move(settings), std::move(*refusal),
                      [done = std::move(done)](Refusal told) { done({std::move(told), {}}); });
    }
    SubmitAudited(caller, admission.user, device, std::move(batch), std::move(done));
}

void CommandGate::SubmitAudited(const Caller &caller, const std::optional<User> &user,
                                const std::shared_ptr<ServedDevice> &device, CommandBatch batch, GateDone done) {
    // The lines of the batch's settings, by the place of each in the batch.
    std::vector<std::pair<size_t, AuditEntry>> entries;
    for (size_t i = 0; i < batch.commands.size(); ++i) {
        if (ChangesSetting(batch.commands[i]))
            entries.emplace_back(i, EntryOf(caller, user, device->Id(), batch.commands[i]));
    }
    Ordered([&loop = loop_, audit = audit_, device, batch = std::move(batch), entries = std::move(entries),
             done = std::move(done)](AuditLog *log) mutable {
        std::vector<std::pair<size_t, AuditLog::Pending>> pending;
        try {
            for (const auto &[place, entry] : entries) {
                if (log != nullptr) pending.emplace_back(place, log->Begin(entry));
            }
        } catch (const AuditUnavailable &problem) {
            for (auto &[place, line] : pending) line.Finish("unsent", "a later line of its batch could not be written");
            return loop.Post([refusal = AuditRefusal(problem), done = std::move(done)]() mutable {
                done({std::move(refusal), {}});
            });
        }
        const bool setting = !entries.empty();
        device->Submit(std::move(batch), [&loop, audit, device, setting, pending = std::move(pending),
                                          done = std::move(done)](BatchResult result) mutable {
            // The guard and the device's page learn what the settings made of the head.
            if (setting && result.outcome == BatchOutcome::Ran) device->ReadSettings(false);
            if (pending.empty()) return done({std::nullopt, std::move(result)});
            audit->Queue([&loop, pending = std::move(pending), result = std::move(result),
                          done = std::move(done)](AuditLog &) mutable {
                for (auto &[place, line] : pending) {
                    if (place < result.exchanges.size()) {
                        line.Finish(result.exchanges[place].status, result.exchanges[place].reply);
                    } else {
                        line.Finish(UnsentStatus(result.outcome),
                                    result.outcome == BatchOutcome::Ran ? "an earlier command of its batch failed"
                                                                        : result.why);
                    }
                }
                loop.Post([result = std::move(result), done = std::move(done)]() mutable {
                    done({std::nullopt, std::move(result)});
                });
            });
        });
    });
}

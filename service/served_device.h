// A device as the service's doors see it, wherever it runs: its stable id, what it is, its link
// (its executor in this process, or its place in a worker process), its one sampler, and what
// its commands have told about it (answering or failing, the counts for the metrics). A device
// in a worker also carries its worker's process id and restarts, and why it is failing while
// that worker is down. Its limits live here too, with the settings the service last read of it,
// so that a device that leaves takes them along and one that comes back starts anew.
#pragma once

#include "device_limits.h"
#include "device_link.h"
#include "sampler_hub.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct CommandCounts {
    uint64_t total = 0;
    std::map<int32_t, uint64_t> failuresByStatus;
};

// The worker process a device runs in.
struct DeviceWorker {
    int64_t pid = 0;  // 0 while it is being restarted
    uint32_t restarts = 0;
};

class ServedDevice : public std::enable_shared_from_this<ServedDevice> {
public:
    ServedDevice(std::string id, DeviceIdentity identity, std::shared_ptr<DeviceLink> link);
    ~ServedDevice();  // stops the sampler, retires the link

    const std::string &Id() const { return id_; }
    const DeviceIdentity &Identity() const { return identity_; }
    SamplerHub &Hub() { return *hub_; }

    // Through the device's link; what comes back counts for its state and its metrics.
    void Submit(CommandBatch batch, BatchDone done);

    // The status panel through the device's sampler (one read serves every request within
    // maxAge); `done` runs on the event loop, or at once from the cache.
    void Status(std::chrono::milliseconds maxAge, std::function<void(PanelRead)> done);

    // No more commands: waiting and later ones are told Gone.
    void Retire();
    bool Retired() const { return retired_; }

    // "answering", "failing" (its last command did not reach the head, or its worker is down)
    // or "gone"; with the reason when not answering.
    const char *State() const;
    std::string Reason() const;
    CommandCounts Counts() const;

    // Set by the worker's supervisor: the process, and why the device cannot be reached now
    // (empty once it can).
    void SetWorker(DeviceWorker worker, std::string trouble);
    std::optional<DeviceWorker> Worker() const;

    // What the command gate checks each of its settings against; any thread.
    LimitGuard &Limits() { return limits_; }
    // Reads ?PCMD, ?CCMD and ?PMEM within one turn of the device (after ?POWERUNITS when the head
    // is new to its guard): the guard learns how its power and current commands move together,
    // and BeyondLimits what they are now. Nothing is ever set.
    void ReadSettings(bool meetHead);
    // The settings last read that are beyond the limits now.
    std::vector<Exceedance> BeyondLimits() const;

private:
    void Account(const BatchResult &result);
    void Learn(const std::vector<Exchange> &exchanges, bool meetHead);

    const std::string id_;
    const DeviceIdentity identity_;
    const std::shared_ptr<DeviceLink> link_;

    std::atomic<bool> retired_{false};
    mutable std::mutex mutex_;
    CommandCounts counts_;
    int32_t lastFailure_ = 0;  // the status of the last command if it did not reach the head
    std::optional<DeviceWorker> worker_;
    std::string trouble_;
    PresentSettings settings_;

    LimitGuard limits_;

    std::unique_ptr<SamplerHub> hub_;  // last: its thread submits through what is above
};

// One sampler per device, shared by every viewer. Subscribers (event streams, the dashboard,
// MQTT) name the commands they want and an interval; the sampler wakes on a grid of each
// interval, so subscribers with the same interval are served by the same poll, reads each
// command once per round (one batch through the device's link) whatever the number of
// subscribers, and hands every due subscriber the same timestamped sample. The status panel
// (status documents, metrics) is cached likewise: one read serves every request within its age.
#pragma once

#include "device_link.h"
#include "client/documents.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct SampledReading {
    std::string command;
    Exchange exchange;
};

struct Sample {
    std::chrono::system_clock::time_point time;
    std::vector<SampledReading> readings;  // in the order the subscriber named them
    // The device could not be asked at all (busy past the bound, or gone); readings empty.
    std::string failure;
};

// A status panel read at a known time.
struct PanelSnapshot {
    std::chrono::system_clock::time_point time;
    Panel panel;
};

// What a status request gets: the panel, or why the device could not be asked (Busy, Gone).
struct PanelRead {
    BatchOutcome outcome = BatchOutcome::Ran;
    std::string why;
    std::shared_ptr<const PanelSnapshot> snapshot;  // Ran only
};

using Submitter = std::function<void(CommandBatch, BatchDone)>;

class SamplerHub {
public:
    using Listener = std::function<void(const Sample &)>;

    // Ends its subscription when destroyed; the listener is not called after that.
    class Subscription {
    public:
        ~Subscription();
        Subscription(const Subscription &) = delete;
        Subscription &operator=(const Subscription &) = delete;

    private:
        friend class SamplerHub;
        Subscription(SamplerHub &hub, uint64_t id) : hub_(hub), id_(id) {}
        SamplerHub &hub_;
        uint64_t id_;
    };

    // Rounds go to the device through `submit`.
    SamplerHub(Submitter submit, std::string headType);
    ~SamplerHub();  // stops the sampler
    SamplerHub(const SamplerHub &) = delete;
    SamplerHub &operator=(const SamplerHub &) = delete;

    // The listener runs on the sampler's thread and must not block (hand the sample over).
    std::unique_ptr<Subscription> Subscribe(std::vector<std::string> commands,
                                            std::chrono::milliseconds interval, Listener listener);

    // The panel, read anew only when the cached one is older than maxAge; requests that come
    // while it is read share that read. `submit` must keep the device (and so this hub) alive
    // until its batches are done. `done` runs on the event loop, or at once from the cache.
    void Status(std::chrono::milliseconds maxAge, Submitter submit, std::function<void(PanelRead)> done);

    size_t SubscriberCount() const;

private:
    struct Subscriber {
        std::vector<std::string> commands;
        std::chrono::milliseconds interval;
        Listener listener;
        std::chrono::steady_clock::time_point due;
    };
    struct Round;  // one batch in flight, shared with its completion

    void Run();
    void Unsubscribe(uint64_t id);
    std::optional<BatchResult> Ask(std::vector<std::string> commands, std::unique_lock<std::mutex> &lock);
    void Finish(PanelRead read);

    Submitter submit_;
    std::string headType_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::condition_variable roundDone_;
    std::map<uint64_t, Subscriber> subscribers_;
    uint64_t nextId_ = 0;
    uint64_t delivering_ = 0;  // subscriber whose listener runs now, or 0
    bool stopping_ = false;
    std::shared_ptr<Round> current_;  // the round waited for now

    std::mutex statusMutex_;
    std::shared_ptr<const PanelSnapshot> status_;
    std::vector<std::function<void(PanelRead)>> statusWaiters_;  // non-empty while a read runs

    std::thread thread_;
};

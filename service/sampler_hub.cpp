#include "sampler_hub.h"

#include <algorithm>
#include <map>
#include <optional>

namespace {

// The next point of the interval's grid after `now`: subscribers with the same interval share it.
std::chrono::steady_clock::time_point NextOnGrid(std::chrono::steady_clock::time_point now,
                                                 std::chrono::milliseconds interval) {
    const auto since = now.time_since_epoch();
    const auto steps = since / interval + 1;
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval * steps));
}

}  // namespace

// A round's batch, whose result the sampler's thread waits for; it outlives the hub when the
// hub stops first.
struct SamplerHub::Round {
    std::mutex mutex;
    std::condition_variable answered;
    std::optional<BatchResult> result;
    bool abandoned = false;
};

SamplerHub::Subscription::~Subscription() { hub_.Unsubscribe(id_); }

SamplerHub::SamplerHub(Submitter submit, std::string headType)
    : submit_(std::move(submit)), headType_(std::move(headType)), thread_([this] { Run(); }) {}

SamplerHub::~SamplerHub() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
        if (current_ != nullptr) {
            std::lock_guard roundLock(current_->mutex);
            current_->abandoned = true;
            current_->answered.notify_all();
        }
    }
    thread_.join();
}

std::unique_ptr<SamplerHub::Subscription> SamplerHub::Subscribe(
    std::vector<std::string> commands, std::chrono::milliseconds interval, Listener listener) {
    std::lock_guard lock(mutex_);
    const uint64_t id = ++nextId_;
    const auto now = std::chrono::steady_clock::now();
    subscribers_.emplace(id, Subscriber{std::move(commands), interval, std::move(listener),
                                        NextOnGrid(now, interval)});
    changed_.notify_all();
    return std::unique_ptr<Subscription>(new Subscription(*this, id));
}

void SamplerHub::Unsubscribe(uint64_t id) {
    std::unique_lock lock(mutex_);
    subscribers_.erase(id);
    // A listener running now may refer to what its subscriber owns: wait until it returns.
    roundDone_.wait(lock, [&] { return delivering_ != id; });
}

size_t SamplerHub::SubscriberCount() const {
    std::lock_guard lock(mutex_);
    return subscribers_.size();
}

// With the mutex held on entry and return: the round's batch, or nothing when the hub stops.
std::optional<BatchResult> SamplerHub::Ask(std::vector<std::string> commands, std::unique_lock<std::mutex> &lock) {
    const auto round = std::make_shared<Round>();
    current_ = round;
    lock.unlock();
    submit_({std::move(commands), BatchMode::Every}, [round](BatchResult result) {
        std::lock_guard roundLock(round->mutex);
        round->result = std::move(result);
        round->answered.notify_all();
    });
    std::optional<BatchResult> result;
    {
        std::unique_lock roundLock(round->mutex);
        round->answered.wait(roundLock, [&] { return round->result || round->abandoned; });
        result = std::move(round->result);
    }
    lock.lock();
    current_ = nullptr;
    return result;
}

void SamplerHub::Run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (subscribers_.empty()) {
            changed_.wait(lock);
            continue;
        }
        auto due = std::chrono::steady_clock::time_point::max();
        for (const auto &[id, subscriber] : subscribers_) due = std::min(due, subscriber.due);
        if (changed_.wait_until(lock, due) != std::cv_status::timeout) continue;

        // Every subscriber due now, and the union of their commands, each asked once.
        const auto now = std::chrono::steady_clock::now();
        std::vector<uint64_t> dueIds;
        std::vector<std::string> commands;
        for (auto &[id, subscriber] : subscribers_) {
            if (subscriber.due > now) continue;
            dueIds.push_back(id);
            subscriber.due = NextOnGrid(now, subscriber.interval);
            for (const std::string &command : subscriber.commands) {
                if (std::find(commands.begin(), commands.end(), command) == commands.end())
                    commands.push_back(command);
            }
        }
        const auto time = std::chrono::system_clock::now();
        const std::optional<BatchResult> result = Ask(commands, lock);
        if (!result) break;
        std::map<std::string, Exchange, std::less<>> answers;
        for (size_t i = 0; i < result->exchanges.size() && i < commands.size(); ++i)
            answers[commands[i]] = result->exchanges[i];
        const std::string failure = result->outcome == BatchOutcome::Ran ? "" : result->why;
        for (const uint64_t id : dueIds) {
            const auto found = subscribers_.find(id);
            if (found == subscribers_.end()) continue;
            Sample sample{time, {}, failure};
            if (failure.empty()) {
                for (const std::string &command : found->second.commands)
                    sample.readings.push_back({command, answers[command]});
            }
            delivering_ = id;
            const Listener listener = found->second.listener;
            lock.unlock();
            listener(sample);
            lock.lock();
            delivering_ = 0;
            roundDone_.notify_all();
        }
    }
}

void SamplerHub::Status(std::chrono::milliseconds maxAge, Submitter submit,
                        std::function<void(PanelRead)> done) {
    const auto started = std::chrono::system_clock::now();
    {
        std::unique_lock lock(statusMutex_);
        if (status_ != nullptr && started - status_->time <= maxAge) {
            const auto cached = status_;
            lock.unlock();
            return done({BatchOutcome::Ran, {}, cached});
        }
        statusWaiters_.push_back(std::move(done));
        if (statusWaiters_.size() > 1) return;  // a read runs already
    }
    // The family (and so the panel's queries) comes from the head's answer to ?HTYPE.
    submit({{kHeadTypeQuery}, BatchMode::Every}, [this, submit, started](BatchResult typed) {
        if (typed.outcome != BatchOutcome::Ran) return Finish({typed.outcome, typed.why, nullptr});
        const Exchange type = typed.exchanges.front();
        const HeadFamily &family = FamilyOfHeadType(type.Succeeded() ? type.reply : headType_);
        submit({PanelCommands(family), BatchMode::Every}, [this, submit, started, type](BatchResult answered) {
            if (answered.outcome != BatchOutcome::Ran) return Finish({answered.outcome, answered.why, nullptr});
            auto snapshot = std::make_shared<PanelSnapshot>();
            snapshot->time = started;
            snapshot->panel = AssemblePanel(type, headType_, answered.exchanges);
            Finish({BatchOutcome::Ran, {}, std::move(snapshot)});
        });
    });
}

void SamplerHub::Finish(PanelRead read) {
    std::vector<std::function<void(PanelRead)>> waiters;
    {
        std::lock_guard lock(statusMutex_);
        if (read.snapshot != nullptr) status_ = read.snapshot;
        waiters.swap(statusWaiters_);
    }
    for (const auto &waiter : waiters) waiter(read);
}

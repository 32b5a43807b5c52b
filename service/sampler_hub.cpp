#include "sampler_hub.h"

#include <algorithm>
#include <map>
#include <set>

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

SamplerHub::Subscription::~Subscription() { hub_.Unsubscribe(id_); }

SamplerHub::SamplerHub(CommandExecutor &executor, std::string headType)
    : executor_(executor), headType_(std::move(headType)), thread_([this] { Run(); }) {}

SamplerHub::~SamplerHub() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
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
        lock.unlock();
        std::map<std::string, Exchange, std::less<>> answers;
        std::string failure;
        const auto time = std::chrono::system_clock::now();
        for (const std::string &command : commands) {
            try {
                answers[command] = executor_.Send(command);
            } catch (const std::runtime_error &error) {
                failure = error.what();
                break;
            }
        }
        lock.lock();
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

std::shared_ptr<const PanelSnapshot> SamplerHub::Status(std::chrono::milliseconds maxAge) {
    std::lock_guard lock(statusMutex_);
    const auto now = std::chrono::system_clock::now();
    if (status_ != nullptr && now - status_->time <= maxAge) return status_;
    auto snapshot = std::make_shared<PanelSnapshot>();
    snapshot->time = now;
    snapshot->panel =
        ReadPanel([this](std::string_view command) { return executor_.Send(command); }, headType_);
    status_ = std::move(snapshot);
    return status_;
}

// One worker process of the service, seen from the service: it is started, its devices join the
// registry as they arrive (each a ServedDevice whose link submits over the worker's channel), and
// when it dies (killed, crashed inside a third-party library) that is told on standard error,
// its devices read "failing" with the reason, every request waiting on it is answered at once
// (busy: retry), and it is started again after a back-off (the first within a second, then
// doubling up to 30 s; back to the first once a worker has run 30 s). A device keeps its id, its
// instrument socket and its subscribers across restarts; one the new worker does not find again
// is gone. A worker whose port cannot be opened at the very start is not started again: that
// port is not served, as in a service without workers. A worker that leaves a batch unanswered
// for a minute beyond the patience (stuck in a third-party library's call) is ended and started
// again, as one that died.
#pragma once

#include "device_registry.h"
#include "event_loop.h"
#include "frame_channel.h"
#include "worker_main.h"
#include "worker_process.h"

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

class WorkerDeviceLink;

class WorkerSupervisor : public std::enable_shared_from_this<WorkerSupervisor> {
public:
    // Starts the worker of `duty` (on the loop). A port's device takes the place `portIndex`
    // gives it in the list; the adapters' supplies take theirs as they arrive.
    static std::shared_ptr<WorkerSupervisor> Start(EventLoop &loop, DeviceRegistry &registry, WorkerDuty duty,
                                                   std::optional<size_t> portIndex);

    // Not on the loop: until the first worker has told the devices it found, or has ended, or
    // `bound` has passed.
    void AwaitStart(std::chrono::milliseconds bound);

    // No more restarts; the channel closes, so the worker ends by itself (it is killed when it
    // has not within a bound). Then, not on the loop: until it has ended.
    void BeginStop();
    void AwaitStop();

    // On the loop, for its devices' links: a batch for the worker's device `number`.
    void Submit(uint32_t number, CommandBatch batch, BatchDone done);

    WorkerSupervisor(EventLoop &loop, DeviceRegistry &registry, WorkerDuty duty, std::optional<size_t> portIndex);

private:
    struct Served {
        std::shared_ptr<ServedDevice> device;
        std::shared_ptr<WorkerDeviceLink> link;
    };
    struct Pending {
        BatchDone done;
        CommandBatch batch;
        std::chrono::steady_clock::time_point sent;
    };

    void Spawn();
    void Take(std::string_view body);
    void Arrived(worker_protocol::Arrived arrived);
    void Departed(uint32_t number);
    void Settled();
    void Answered(worker_protocol::Answer answer);
    void Misbehaved(const std::string &what);
    void WatchForHang();
    void End(const std::string &why);
    void Lost();
    void Reap(std::chrono::steady_clock::time_point since);
    void Ended(const WorkerProcess::Ending &ending);
    void Tell(const std::string &trouble);
    void StartDone();

    EventLoop &loop_;
    DeviceRegistry &registry_;
    const WorkerDuty duty_;
    const std::optional<size_t> portIndex_;
    const std::string name_;  // for the log

    // On the loop only.
    std::unique_ptr<WorkerProcess> process_;
    int64_t pid_ = 0;  // of the worker running now or last
    std::shared_ptr<FrameChannel> channel_;
    std::chrono::steady_clock::time_point startedAt_;
    uint32_t restarts_ = 0;
    std::chrono::milliseconds backOff_;
    bool everSettled_ = false;
    bool stopping_ = false;
    std::map<std::string, Served> devices_;  // every device it has served, by id
    std::map<uint32_t, std::string> numbers_;  // the running worker's devices
    std::set<std::string> foundAgain_;         // by the running worker
    std::map<uint64_t, Pending> pending_;
    uint64_t nextRequest_ = 1;
    boost::asio::steady_timer restartTimer_;
    boost::asio::steady_timer reapTimer_;
    boost::asio::steady_timer hangTimer_;

    // For the threads that wait on it.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool startDone_ = false;
    bool stopped_ = false;
};

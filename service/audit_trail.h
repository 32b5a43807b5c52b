// The audit log's own thread. Every write of the log waits for the disk, so none is made on the
// event loop's thread: the command gate hands each step (a line made durable before its command
// is sent, an outcome filled in, a refusal told, the log read back) to this thread, which runs
// them one at a time in the order they were handed over. A command's batch is submitted to its
// device from here, right after its line, so the lines of a device stand in the order the device
// runs its batches.
#pragma once

#include "audit_log.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class AuditTrail {
public:
    using Job = std::function<void(AuditLog &)>;

    // Opens the log (throws AuditUnavailable) and starts the thread.
    explicit AuditTrail(AuditOptions options);
    // Runs every job handed over before, then ends the thread.
    ~AuditTrail();
    AuditTrail(const AuditTrail &) = delete;
    AuditTrail &operator=(const AuditTrail &) = delete;

    // Runs `job` on the trail's thread after every job handed over before it. Any thread.
    void Queue(Job job);

    const AuditOptions &Options() const { return log_.Options(); }

private:
    void Run();

    AuditLog log_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;  // last: it runs on what is above
};

#include "audit_trail.h"

AuditTrail::AuditTrail(AuditOptions options) : log_(std::move(options)), thread_([this] { Run(); }) {}

AuditTrail::~AuditTrail() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_one();
    thread_.join();
}

void AuditTrail::Queue(Job job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    queued_.notify_one();
}

void AuditTrail::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        queued_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job(log_);
        lock.lock();
    }
}

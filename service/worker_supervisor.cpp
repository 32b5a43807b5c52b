#include "worker_supervisor.h"

#include <future>
#include <iostream>
#include <sstream>

namespace {

constexpr auto kFirstBackOff = std::chrono::milliseconds(500);
constexpr auto kLongestBackOff = std::chrono::milliseconds(30'000);
constexpr auto kReapEvery = std::chrono::milliseconds(10);
// A worker asked to end (its channel closed) that has not within this is killed: it ends its
// devices within less, and the service must be gone within two seconds of SIGTERM.
constexpr auto kKillAfter = std::chrono::milliseconds(1200);
// A batch runs at most a few dozen commands, each bounded by the line's time-outs; one unanswered
// this long beyond the patience means a worker stuck in a call that will not return.
constexpr auto kHungAfter = std::chrono::seconds(60);
constexpr auto kLookForHangsEvery = std::chrono::seconds(1);

constexpr char kNoLongerServed[] = "the device is no longer served";

std::string Seconds(std::chrono::milliseconds time) {
    std::ostringstream text;
    text << std::chrono::duration<double>(time).count();
    return text.str();
}

}  // namespace

// A device's link through its worker: its number in the worker running now (0 while there is
// none). Every batch goes through the loop, where the supervisor owns the channel.
class WorkerDeviceLink final : public DeviceLink, public std::enable_shared_from_this<WorkerDeviceLink> {
public:
    WorkerDeviceLink(EventLoop &loop, std::weak_ptr<WorkerSupervisor> worker)
        : loop_(loop), worker_(std::move(worker)) {}

    void Submit(CommandBatch batch, BatchDone done) override {
        loop_.Post([self = shared_from_this(), batch = std::move(batch), done = std::move(done)]() mutable {
            const auto worker = self->worker_.lock();
            if (self->retired_ || worker == nullptr) return done(Refused(BatchOutcome::Gone, kNoLongerServed));
            worker->Submit(self->number, std::move(batch), std::move(done));
        });
    }

    void Retire() override { retired_ = true; }

    uint32_t number = 0;  // on the loop only

private:
    EventLoop &loop_;
    std::weak_ptr<WorkerSupervisor> worker_;
    std::atomic<bool> retired_{false};
};

std::shared_ptr<WorkerSupervisor> WorkerSupervisor::Start(EventLoop &loop, DeviceRegistry &registry,
                                                          WorkerDuty duty, std::optional<size_t> portIndex) {
    auto supervisor = std::make_shared<WorkerSupervisor>(loop, registry, std::move(duty), portIndex);
    loop.Post([supervisor] { supervisor->Spawn(); });
    return supervisor;
}

WorkerSupervisor::WorkerSupervisor(EventLoop &loop, DeviceRegistry &registry, WorkerDuty duty,
                                   std::optional<size_t> portIndex)
    : loop_(loop),
      registry_(registry),
      duty_(std::move(duty)),
      portIndex_(portIndex),
      name_(duty_.port ? *duty_.port : "the adapters"),
      backOff_(kFirstBackOff),
      restartTimer_(loop.Context()),
      reapTimer_(loop.Context()),
      hangTimer_(loop.Context()) {}

void WorkerSupervisor::AwaitStart(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, bound, [&] { return startDone_; });
}

void WorkerSupervisor::StartDone() {
    std::lock_guard lock(mutex_);
    startDone_ = true;
    changed_.notify_all();
}

void WorkerSupervisor::BeginStop() {
    loop_.Post([self = shared_from_this()] {
        self->stopping_ = true;
        self->restartTimer_.cancel();
        if (self->process_ == nullptr) return self->Ended({"", std::nullopt});
        if (self->channel_ == nullptr) return;  // being reaped already
        // The worker sees its channel end and closes its devices; what waited on it is told.
        self->channel_->Close();
        self->Lost();
    });
}

void WorkerSupervisor::AwaitStop() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopped_; });
}

void WorkerSupervisor::Spawn() {
    if (stopping_) return;
    pid_ = 0;
    try {
        process_ = WorkerProcess::Start(loop_.Context(), WorkerArguments(duty_));
    } catch (const std::runtime_error &error) {
        std::cerr << "mavozarp serve: cannot start the worker for " << name_ << ": " << error.what() << '\n';
        return Ended({"could not be started", std::nullopt});
    }
    pid_ = process_->Pid();
    startedAt_ = std::chrono::steady_clock::now();
    foundAgain_.clear();
    channel_ = std::make_shared<FrameChannel>(std::move(process_->Channel()));
    const std::weak_ptr<WorkerSupervisor> weak = weak_from_this();
    channel_->Start(
        [weak](std::string_view body) {
            if (const auto self = weak.lock()) self->Take(body);
        },
        [weak] {
            if (const auto self = weak.lock()) self->Lost();
        });
    WatchForHang();
}

void WorkerSupervisor::WatchForHang() {
    hangTimer_.expires_after(kLookForHangsEvery);
    hangTimer_.async_wait([weak = weak_from_this()](const boost::system::error_code &error) {
        const auto self = weak.lock();
        if (error || self == nullptr || self->channel_ == nullptr) return;
        const auto oldest = self->pending_.begin();  // requests are numbered in the order sent
        const auto waited = oldest == self->pending_.end() ? std::chrono::steady_clock::duration::zero()
                                                           : std::chrono::steady_clock::now() - oldest->second.sent;
        if (waited < self->duty_.patience + kHungAfter) return self->WatchForHang();
        self->End("has left a command unanswered for " +
                  std::to_string(std::chrono::duration_cast<std::chrono::seconds>(waited).count()) + " s");
    });
}

void WorkerSupervisor::Take(std::string_view body) {
    std::optional<worker_protocol::FromWorker> message = worker_protocol::DecodeFromWorker(body);
    if (!message) return Misbehaved("a frame that is not understood");
    struct Visitor {
        WorkerSupervisor &self;
        void operator()(worker_protocol::Arrived &arrived) { self.Arrived(std::move(arrived)); }
        void operator()(const worker_protocol::Departed &departed) { self.Departed(departed.device); }
        void operator()(const worker_protocol::Settled &) { self.Settled(); }
        void operator()(worker_protocol::Answer &answer) { self.Answered(std::move(answer)); }
    };
    std::visit(Visitor{*this}, *message);
}

void WorkerSupervisor::Arrived(worker_protocol::Arrived arrived) {
    const auto known = devices_.find(arrived.id);
    const DeviceWorker worker{pid_, restarts_};
    if (known != devices_.end()) {
        const DeviceIdentity &before = known->second.device->Identity();
        const bool same = before.selector == arrived.identity.selector && before.transport == arrived.identity.transport &&
                          before.headType == arrived.identity.headType;
        if (same && !known->second.device->Retired()) {
            known->second.link->number = arrived.device;
            known->second.device->SetWorker(worker, "");
            numbers_[arrived.device] = arrived.id;
            foundAgain_.insert(arrived.id);
            return;
        }
        // Another head on the same port, or a supply that had left: a new device under the id.
        registry_.Remove(arrived.id);
        devices_.erase(known);
    }
    auto link = std::make_shared<WorkerDeviceLink>(loop_, weak_from_this());
    auto device = std::make_shared<ServedDevice>(arrived.id, arrived.identity, link);
    device->SetWorker(worker, "");
    link->number = arrived.device;
    const uint64_t rank = portIndex_ ? PortRank(*portIndex_) : registry_.NextAdapterRank();
    if (!registry_.Add(device, rank)) return;
    devices_[arrived.id] = {device, link};
    numbers_[arrived.device] = arrived.id;
    foundAgain_.insert(arrived.id);
}

void WorkerSupervisor::Departed(uint32_t number) {
    const auto found = numbers_.find(number);
    if (found == numbers_.end()) return;
    const std::string id = found->second;
    numbers_.erase(found);
    devices_.erase(id);
    registry_.Remove(id);
}

// The devices the worker found at its start are all told: those an earlier worker served that
// this one did not find again have left.
void WorkerSupervisor::Settled() {
    everSettled_ = true;
    for (auto served = devices_.begin(); served != devices_.end();) {
        if (foundAgain_.contains(served->first)) {
            ++served;
            continue;
        }
        const std::string id = served->first;
        served = devices_.erase(served);
        registry_.Remove(id);
    }
    StartDone();
}

void WorkerSupervisor::Submit(uint32_t number, CommandBatch batch, BatchDone done) {
    if (channel_ == nullptr || !numbers_.contains(number)) {
        return done(Refused(BatchOutcome::Busy, "the device's worker process is being started again"));
    }
    const uint64_t request = nextRequest_++;
    channel_->Send(worker_protocol::Encode(worker_protocol::Submit{request, number, batch}));
    pending_.emplace(request, Pending{std::move(done), std::move(batch), std::chrono::steady_clock::now()});
}

void WorkerSupervisor::Answered(worker_protocol::Answer answer) {
    const auto found = pending_.find(answer.request);
    if (found == pending_.end()) return Misbehaved("an answer to nothing asked");
    const CommandBatch &batch = found->second.batch;
    const BatchResult &result = answer.result;
    // As many exchanges as commands, or up to the first failure.
    const size_t count = result.exchanges.size();
    const bool whole = count == batch.commands.size() ||
                       (batch.mode == BatchMode::UntilFailure && count > 0 && count < batch.commands.size() &&
                        !result.exchanges.back().Succeeded());
    if (result.outcome == BatchOutcome::Ran && !whole) return Misbehaved("an answer that does not fit its batch");
    const BatchDone done = std::move(found->second.done);
    pending_.erase(found);
    done(std::move(answer.result));
}

void WorkerSupervisor::Misbehaved(const std::string &what) { End("sent " + what); }

// A worker that cannot be trusted or has stopped answering: ended, then started again as one
// that died.
void WorkerSupervisor::End(const std::string &why) {
    std::cerr << "mavozarp serve: the worker for " << name_ << " (pid " << pid_ << ") " << why << "; it is ended\n";
    process_->Kill();
    channel_->Close();
    Lost();
}

// The channel ended: the worker died, or was told to end. Whatever waited on it is answered.
void WorkerSupervisor::Lost() {
    channel_.reset();
    numbers_.clear();
    for (auto &[id, served] : devices_) served.link->number = 0;
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto &[request, waiting] : pending) {
        waiting.done(stopping_ ? Refused(BatchOutcome::Gone, "the service is stopping")
                               : Refused(BatchOutcome::Busy, "the device's worker process ended; it is being started again"));
    }
    Reap(std::chrono::steady_clock::now());
}

void WorkerSupervisor::Reap(std::chrono::steady_clock::time_point since) {
    if (const std::optional<WorkerProcess::Ending> ending = process_->Ended()) return Ended(*ending);
    if (std::chrono::steady_clock::now() - since > kKillAfter) process_->Kill();
    reapTimer_.expires_after(kReapEvery);
    reapTimer_.async_wait([self = shared_from_this(), since](const boost::system::error_code &error) {
        if (!error) self->Reap(since);
    });
}

void WorkerSupervisor::Ended(const WorkerProcess::Ending &ending) {
    process_.reset();
    if (stopping_) {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
        return;
    }
    if (!everSettled_ && ending.status == worker_protocol::kFoundNothing) return StartDone();  // told by the worker
    const auto lived = std::chrono::steady_clock::now() - startedAt_;
    if (lived >= kLongestBackOff) backOff_ = kFirstBackOff;
    std::cerr << "mavozarp serve: the worker for " << name_ << " (pid " << pid_ << ") " << ending.how
              << "; it is started again in " << Seconds(backOff_) << " s\n";
    Tell("its worker process (pid " + std::to_string(pid_) + ") " + ending.how + "; it is being started again");
    restartTimer_.expires_after(backOff_);
    backOff_ = std::min(backOff_ * 2, kLongestBackOff);
    restartTimer_.async_wait([self = shared_from_this()](const boost::system::error_code &error) {
        if (error) return;
        ++self->restarts_;
        self->Spawn();
    });
    if (!everSettled_) StartDone();
}

void WorkerSupervisor::Tell(const std::string &trouble) {
    for (auto &[id, served] : devices_) served.device->SetWorker({0, restarts_}, trouble);
}

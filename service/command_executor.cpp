#include "command_executor.h"

#include <boost/asio/steady_timer.hpp>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kStayedBusy[] = "the device stayed busy with other commands";
constexpr char kNoLongerServed[] = "the device is no longer served";

}  // namespace

bool ChangesSetting(std::string_view command) {
    return !command.starts_with('?') || command.find('=') != std::string_view::npos;
}

std::string CommandProblem(std::string_view command) {
    if (command.empty()) return "empty command";
    if (command.size() > kLongestCommand) {
        return "command longer than " + std::to_string(kLongestCommand) + " characters";
    }
    for (const char c : command) {
        if (c < ' ' || c > '~') return "command holds a byte that is not printable ASCII";
    }
    return {};
}

std::vector<Exchange> RunBatch(MavoZARP_Handle handle, const CommandBatch &batch) {
    std::vector<Exchange> exchanges;
    exchanges.reserve(batch.commands.size());
    for (const std::string &command : batch.commands) {
        exchanges.push_back(SendCommand(handle, command));
        if (batch.mode == BatchMode::UntilFailure && !exchanges.back().Succeeded()) break;
    }
    return exchanges;
}

// The batches waiting for their turn, in arrival order. Their deadlines come in the same order,
// so one timer on the loop, set for the first waiting batch, tells every late one; it is set only
// while a batch runs and others wait, so a device that keeps up never touches it.
struct CommandExecutor::Queue : std::enable_shared_from_this<Queue> {
    struct Job {
        CommandBatch batch;
        BatchDone done;
        Clock::time_point deadline;
    };

    Queue(MavoZARP_Handle handle, EventLoop &loop, std::chrono::milliseconds patience)
        : handle(handle), loop(loop), patience(patience), timer(loop.Context()) {}

    void Add(CommandBatch batch, BatchDone done) {
        std::unique_lock lock(mutex);
        if (retired) {
            lock.unlock();
            return Tell(std::move(done), Refused(BatchOutcome::Gone, kNoLongerServed));
        }
        waiting.push_back({std::move(batch), std::move(done), Clock::now() + patience});
        WatchPatience();
        changed.notify_one();
    }

    // The executor's thread: one batch after the other until retired.
    void Serve() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return retired || !waiting.empty(); });
            if (retired) return;
            Job job = std::move(waiting.front());
            waiting.pop_front();
            running = true;
            WatchPatience();
            lock.unlock();
            Tell(std::move(job.done), {BatchOutcome::Ran, {}, RunBatch(handle, job.batch)});
            lock.lock();
            running = false;
        }
    }

    void Retire() {
        std::deque<Job> told;
        {
            std::lock_guard lock(mutex);
            retired = true;
            told.swap(waiting);
            changed.notify_all();
        }
        for (Job &job : told) Tell(std::move(job.done), Refused(BatchOutcome::Gone, kNoLongerServed));
    }

    bool Retired() {
        std::lock_guard lock(mutex);
        return retired;
    }

    void Tell(BatchDone done, BatchResult result) {
        loop.Post([done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); });
    }

    // With the mutex held: the timer is set (on the loop) when a batch runs and others wait.
    void WatchPatience() {
        if (timerArmed || !running || waiting.empty()) return;
        timerArmed = true;
        loop.Post([weak = weak_from_this()] {
            if (const auto queue = weak.lock()) queue->SetTimer();
        });
    }

    // On the loop.
    void SetTimer() {
        std::lock_guard lock(mutex);
        ArmTimer();
    }

    // On the loop, when the first waiting batch's deadline has come.
    void TellLateOnes() {
        std::vector<Job> late;
        {
            std::lock_guard lock(mutex);
            const auto now = Clock::now();
            while (!waiting.empty() && waiting.front().deadline <= now) {
                late.push_back(std::move(waiting.front()));
                waiting.pop_front();
            }
            ArmTimer();
        }
        for (Job &job : late) job.done(Refused(BatchOutcome::Busy, kStayedBusy));
    }

    // On the loop, with the mutex held: the timer waits for the first waiting batch's deadline
    // while a batch runs; otherwise it rests until WatchPatience wants it again.
    void ArmTimer() {
        timerArmed = running && !retired && !waiting.empty();
        if (!timerArmed) return;
        timer.expires_at(waiting.front().deadline);
        timer.async_wait([weak = weak_from_this()](const boost::system::error_code &error) {
            const auto queue = weak.lock();
            if (!error && queue) queue->TellLateOnes();
        });
    }

    const MavoZARP_Handle handle;
    EventLoop &loop;
    const std::chrono::milliseconds patience;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> waiting;
    bool running = false;
    bool retired = false;
    bool timerArmed = false;
    boost::asio::steady_timer timer;  // on the loop only
};

CommandExecutor::CommandExecutor(MavoZARP_Handle handle, EventLoop &loop,
                                 std::chrono::milliseconds patience, Place place)
    : handle_(handle), place_(place), queue_(std::make_shared<Queue>(handle, loop, patience)) {
    if (place_ == Place::OwnThread) thread_ = std::thread([queue = queue_] { queue->Serve(); });
}

CommandExecutor::~CommandExecutor() {
    Retire();
    if (thread_.joinable()) thread_.join();
    if (handle_ != MAVOZARP_SIMULATED_HANDLE) MavoZARP_Close(handle_);
}

void CommandExecutor::Submit(CommandBatch batch, BatchDone done) {
    if (place_ == Place::OwnThread) return queue_->Add(std::move(batch), std::move(done));
    if (queue_->Retired()) return queue_->Tell(std::move(done), Refused(BatchOutcome::Gone, kNoLongerServed));
    queue_->Tell(std::move(done), {BatchOutcome::Ran, {}, RunBatch(handle_, batch)});
}

void CommandExecutor::Retire() { queue_->Retire(); }

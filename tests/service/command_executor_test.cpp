// A device's executor: batches run in arrival order on the device's own thread, one that cannot
// have its turn within the patience is told Busy at its deadline even while the device is stuck
// in a command (here a text supply that stopped answering, so each command waits out a transfer's
// time-out), and a retired executor tells what waits, and what comes later, Gone.
#include "command_executor.h"

#include "serial/text_supply_emulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The results in the order they came back to the loop.
class Outcomes {
public:
    BatchDone Record(std::string name) {
        return [this, name](BatchResult result) {
            std::lock_guard lock(mutex_);
            order_.push_back(name);
            results_.push_back(std::move(result));
            if (order_.size() == expected_) complete_.notify_all();
        };
    }
    void Expect(size_t count) { expected_ = count; }
    // Under the lock, so that the loop's last touch of this object (its unlock) is done before a
    // test that has seen every result goes on to destroy it.
    bool AwaitAll() {
        std::unique_lock lock(mutex_);
        return complete_.wait_for(lock, 10s, [this] { return order_.size() >= expected_; });
    }
    const std::vector<std::string> &Order() const { return order_; }
    const BatchResult &Of(const std::string &name) const {
        for (size_t i = 0; i < order_.size(); ++i) {
            if (order_[i] == name) return results_[i];
        }
        throw std::out_of_range(name);
    }

private:
    std::mutex mutex_;
    std::vector<std::string> order_;
    std::vector<BatchResult> results_;
    size_t expected_ = 0;
    std::condition_variable complete_;
};

// A text supply opened through the library, then silent.
MavoZARP_Handle OpenSilentSupply(sim::TextSupplyEmulator &supply) {
    MavoZARP_Handle handle = 0;
    EXPECT_EQ(MavoZARP_OpenSerialPort(supply.Line().Path().c_str(), &handle), MAVOZARP_STATUS_SUCCESS);
    EXPECT_TRUE(IdentifyHead(handle).Succeeded());
    supply.Line().SetSilent(true);
    supply.Line().ClearReceived();
    return handle;
}

// The executor of a text supply that has stopped answering, on a thread of its own.
struct SilentSupply {
    explicit SilentSupply(std::chrono::milliseconds patience)
        : executor(OpenSilentSupply(supply), loop, patience, CommandExecutor::Place::OwnThread) {}

    sim::TextSupplyEmulator supply;
    EventLoop loop;
    CommandExecutor executor;
};

TEST(CommandExecutor, ABatchWaitingBehindAStuckOneIsToldBusyAtItsDeadline) {
    SilentSupply silent(20ms);
    Outcomes outcomes;
    outcomes.Expect(3);
    silent.executor.Submit({{"?P"}, BatchMode::Every}, outcomes.Record("stuck"));
    silent.executor.Submit({{"?P"}, BatchMode::Every}, outcomes.Record("waiting"));
    silent.executor.Submit({{"?C"}, BatchMode::Every}, outcomes.Record("waiting too"));
    ASSERT_TRUE(outcomes.AwaitAll());
    // The stuck command's time-out is far longer than the patience: the others are told first.
    EXPECT_EQ(outcomes.Order().back(), "stuck");
    EXPECT_EQ(outcomes.Of("waiting").outcome, BatchOutcome::Busy);
    EXPECT_EQ(outcomes.Of("waiting too").outcome, BatchOutcome::Busy);
    EXPECT_TRUE(outcomes.Of("waiting").exchanges.empty());
    const BatchResult &stuck = outcomes.Of("stuck");
    ASSERT_EQ(stuck.outcome, BatchOutcome::Ran);
    ASSERT_EQ(stuck.exchanges.size(), 1u);
    EXPECT_FALSE(stuck.exchanges.front().Succeeded());
}

TEST(CommandExecutor, RetiringTellsTheWaitingAndTheLaterOnesGone) {
    SilentSupply silent(10s);
    Outcomes outcomes;
    outcomes.Expect(3);
    silent.executor.Submit({{"?P"}, BatchMode::Every}, outcomes.Record("running"));
    ASSERT_TRUE(silent.supply.Line().WaitForReceived(1, 5s));  // its command is on the line
    silent.executor.Submit({{"?P"}, BatchMode::Every}, outcomes.Record("waiting"));
    silent.executor.Retire();
    silent.executor.Submit({{"?P"}, BatchMode::Every}, outcomes.Record("later"));
    ASSERT_TRUE(outcomes.AwaitAll());
    EXPECT_EQ(outcomes.Of("waiting").outcome, BatchOutcome::Gone);
    EXPECT_EQ(outcomes.Of("later").outcome, BatchOutcome::Gone);
    EXPECT_EQ(outcomes.Of("running").outcome, BatchOutcome::Ran);  // a command begun is finished
}

TEST(CommandExecutor, UntilFailureSendsNothingAfterTheFirstFailureEverySendsAll) {
    EventLoop loop;
    for (const auto place : {CommandExecutor::Place::OwnThread, CommandExecutor::Place::Caller}) {
        CommandExecutor executor(MAVOZARP_SIMULATED_HANDLE, loop, 1s, place);
        Outcomes outcomes;
        outcomes.Expect(2);
        executor.Submit({{"?P", "?BOGUS", "?P"}, BatchMode::UntilFailure}, outcomes.Record("until"));
        executor.Submit({{"?P", "?BOGUS", "?P"}, BatchMode::Every}, outcomes.Record("every"));
        ASSERT_TRUE(outcomes.AwaitAll());
        EXPECT_EQ(outcomes.Order(), (std::vector<std::string>{"until", "every"}));
        const auto &until = outcomes.Of("until").exchanges;
        ASSERT_EQ(until.size(), 2u);
        EXPECT_TRUE(until[0].Succeeded());
        EXPECT_EQ(until[1].status, MAVOZARP_STATUS_INVALID_COMMAND);
        ASSERT_EQ(outcomes.Of("every").exchanges.size(), 3u);
        EXPECT_TRUE(outcomes.Of("every").exchanges[2].Succeeded());
    }
}

}  // namespace

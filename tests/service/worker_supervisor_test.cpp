// A worker's supervisor in this process (so that the sanitizer builds watch it), its worker this
// test program started again in the worker mode: a supply on a pseudo-terminal answers through
// the worker's channel; the worker killed, its device's batches are told Busy at once, and the
// worker is started again under the same device, which answers again.
#include "worker_supervisor.h"

#include "serial/text_supply_emulator.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

BatchResult Ask(ServedDevice &device, std::string command) {
    std::promise<BatchResult> answered;
    device.Submit({{std::move(command)}, BatchMode::Every}, [&answered](BatchResult result) {
        answered.set_value(std::move(result));
    });
    std::future<BatchResult> result = answered.get_future();
    EXPECT_EQ(result.wait_for(10s), std::future_status::ready);
    return result.get();
}

// Until `condition` holds, for at most ten seconds.
template <typename Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 1000 && !condition(); ++i) std::this_thread::sleep_for(10ms);
    return condition();
}

TEST(WorkerSupervisor, AKilledWorkerIsStartedAgainUnderTheSameDevice) {
    sim::TextSupplyEmulator supply;
    const std::string path = supply.Line().Path();
    EventLoop loop;
    DeviceRegistry registry(loop, {});
    const auto worker = WorkerSupervisor::Start(
        loop, registry, {.port = path, .adapters = false, .rescanInterval = 2s, .patience = 2s}, 0);
    worker->AwaitStart(20s);
    const std::shared_ptr<ServedDevice> device = registry.Find(path);
    ASSERT_NE(device, nullptr);
    const BatchResult type = Ask(*device, "?HTYPE");
    ASSERT_EQ(type.outcome, BatchOutcome::Ran);
    EXPECT_EQ(type.exchanges.at(0).reply, "Kora");

    const int64_t first = device->Worker()->pid;
    ASSERT_GT(first, 0);
    kill(static_cast<pid_t>(first), SIGKILL);
    ASSERT_TRUE(Eventually([&] { return device->Worker()->pid == 0; }));
    EXPECT_STREQ(device->State(), "failing");
    EXPECT_EQ(Ask(*device, "?P").outcome, BatchOutcome::Busy);

    ASSERT_TRUE(Eventually([&] { return device->Worker()->pid > 0 && device->Reason().empty(); }));
    EXPECT_NE(device->Worker()->pid, first);
    EXPECT_EQ(device->Worker()->restarts, 1u);
    EXPECT_EQ(registry.Find(path), device);
    EXPECT_EQ(Ask(*device, "?P").outcome, BatchOutcome::Ran);

    registry.RetireAll();
    worker->BeginStop();
    worker->AwaitStop();
    EXPECT_EQ(Ask(*device, "?P").outcome, BatchOutcome::Gone);
    loop.Stop();
}

}  // namespace

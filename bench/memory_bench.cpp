// Resident memory before and after many commands: whatever a command leaves behind shows as
// growth (a byte a command would be about a megabyte over a million).
#include <exception>
#include <functional>
#include <optional>

#include "bench_support.h"
#include "benchmarks.h"

namespace bench {

namespace {

// Enough for every buffer and table of a path to have reached its working size.
constexpr size_t kWarmUpCommands = 2000;

// Sends command number `i`.
using SendOne = std::function<void(size_t i)>;

void MeasureGrowth(benchmark::State &state, size_t commands, const SendOne &send) {
    size_t before = 0;
    size_t after = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < kWarmUpCommands; ++i) send(i);
        before = ResidentKilobytes();
        for (size_t i = 0; i < commands; ++i) send(i);
        after = ResidentKilobytes();
    }
    state.counters["commands"] = static_cast<double>(commands);
    state.counters["rss_before_kB"] = static_cast<double>(before);
    state.counters["rss_after_kB"] = static_cast<double>(after);
    state.counters[kResidentGrowth] = static_cast<double>(after) - static_cast<double>(before);
}

// Queries and settings in turn, each formatting a reply or parsing an argument.
constexpr const char *kMixedCommands[] = {"?P", "PCMD=1.5", "?TBRF", "?FF", "?HTYPE"};

void SimulatedHeadMemory(benchmark::State &state) {
    Library &library = ShippedLibrary();
    char reply[MAVOZARP_BUFFER_SIZE];
    MeasureGrowth(state, Scaled(1000000), [&](size_t i) {
        const char *command = kMixedCommands[i % std::size(kMixedCommands)];
        benchmark::DoNotOptimize(library.SendCommand(MAVOZARP_SIMULATED_HANDLE, command, reply));
    });
}

// The bridge path costs about a tenth of a millisecond a command on a pseudo-terminal, so it runs
// fewer; a leak of even one allocation a command would still show as hundreds of kilobytes.
void BridgeMemory(benchmark::State &state) {
    std::optional<BridgeSupply> supply;
    try {
        supply.emplace("picox-640", ShippedLibrary());
    } catch (const std::exception &failure) {
        state.SkipWithError(failure.what());
        return;
    }
    Library &library = ShippedLibrary();
    char reply[MAVOZARP_BUFFER_SIZE];
    MeasureGrowth(state, Scaled(20000), [&](size_t i) {
        benchmark::DoNotOptimize(library.SendCommand(supply->Device(), "?TBRF", reply));
        // The emulator's record of what came is not the library's memory.
        if (i % 1000 == 0) supply->Line().ClearReceived();
    });
}

}  // namespace

void RegisterMemoryBenchmarks() {
    // Once each, also when the others are repeated: growth is a count, not a time.
    benchmark::RegisterBenchmark("memory/simulated", SimulatedHeadMemory)
        ->Iterations(1)
        ->Repetitions(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("memory/bridge", BridgeMemory)
        ->Iterations(1)
        ->Repetitions(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

}  // namespace bench

// The simulated head (handle -1): the whole command path of the library without a transport.
#include "bench_support.h"
#include "benchmarks.h"

namespace bench {

namespace {

void SimulatedCommand(benchmark::State &state, const char *command) {
    Library &library = ShippedLibrary();
    char reply[MAVOZARP_BUFFER_SIZE];
    if (library.SendCommand(MAVOZARP_SIMULATED_HANDLE, command, reply) != 0) {
        state.SkipWithError("the simulated head refused the command");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(library.SendCommand(MAVOZARP_SIMULATED_HANDLE, command, reply));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(command);
}

}  // namespace

void RegisterSimulatedHeadBenchmarks() {
    // Two threads share the library's one lock: what a host gains by calling from both.
    for (const auto &[name, command] : {std::pair{"simulated/query", "?P"},
                                        std::pair{"simulated/set", "PCMD=1.5"}}) {
        benchmark::RegisterBenchmark(name, SimulatedCommand, command)
            ->Threads(1)
            ->Threads(2)
            ->UseRealTime();
    }
}

}  // namespace bench

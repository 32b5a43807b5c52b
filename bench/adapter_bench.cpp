// Heads over the emulated adapter library, in this process: the time of a command, and how much
// of it the library spends beside the emulator, per transfer counted in the emulator's log.
#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "benchmarks.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

// Each head reads its BRF stage through one converter channel whose read policy takes the median
// of three reads.
struct AdapterCase {
    const char *preset;
    const char *command;
    int expectedTransfers;
};
constexpr AdapterCase kAdapterCases[] = {
    {"picox-640", "?TBRF", 3},
    {"kora-band2", "?TBRF", 3},
};

// The transfers the emulator logged from number `first` on.
std::vector<EmulatedTransfer> LoggedSince(uint32_t first) {
    const EmulatedAdapter &emulator = Emulator();
    std::vector<EmulatedTransfer> transfers(emulator.TransferCount() - first);
    for (size_t i = 0; i < transfers.size(); ++i) {
        emulator.GetTransfer(first + static_cast<uint32_t>(i), &transfers[i]);
    }
    return transfers;
}

double Median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

struct TimeShares {
    double commandMicroseconds;   // a whole command through the library
    double emulatorMicroseconds;  // its transfers sent straight to the emulator
};

// Blocks of commands and blocks of the same transfers sent straight to the emulator, in turn, so
// that both meet the same conditions (the emulator's growing log, the other work of the
// machine); the median block of each.
TimeShares MeasureShares(const Library &library, MavoZARP_Handle device, const char *command,
                         const std::vector<EmulatedTransfer> &transfers) {
    const EmulatedAdapter &emulator = Emulator();
    constexpr int64_t kBlockCommands = 200;
    const size_t blocks = Scaled(41);
    std::vector<double> commandBlocks;
    std::vector<double> emulatorBlocks;
    char reply[MAVOZARP_BUFFER_SIZE];
    for (size_t block = 0; block < blocks; ++block) {
        const Clock::time_point start = Clock::now();
        for (int64_t i = 0; i < kBlockCommands; ++i) {
            benchmark::DoNotOptimize(library.SendCommand(device, command, reply));
        }
        const Clock::time_point commandsDone = Clock::now();
        for (int64_t i = 0; i < kBlockCommands; ++i) {
            for (const EmulatedTransfer &transfer : transfers) {
                benchmark::DoNotOptimize(emulator.Replay(transfer));
            }
        }
        commandBlocks.push_back(MicrosecondsPer(commandsDone - start, kBlockCommands));
        emulatorBlocks.push_back(MicrosecondsPer(Clock::now() - commandsDone, kBlockCommands));
    }
    return {Median(commandBlocks), Median(emulatorBlocks)};
}

void AdapterCommand(benchmark::State &state, const AdapterCase &tested) {
    MavoZARP_Handle device = 0;
    try {
        device = AdapterSupply(tested.preset);
    } catch (const std::exception &failure) {
        state.SkipWithError(failure.what());
        return;
    }
    Library &library = ShippedLibrary();
    const EmulatedAdapter &emulator = Emulator();
    char reply[MAVOZARP_BUFFER_SIZE];

    const uint32_t firstOfOne = emulator.TransferCount();
    if (library.SendCommand(device, tested.command, reply) != 0) {
        state.SkipWithError("the head refused the command");
        return;
    }
    const std::vector<EmulatedTransfer> ofOne = LoggedSince(firstOfOne);
    const TimeShares shares = MeasureShares(library, device, tested.command, ofOne);

    const uint32_t first = emulator.TransferCount();
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        benchmark::DoNotOptimize(library.SendCommand(device, tested.command, reply));
    }
    const double perCommand = MicrosecondsPer(Clock::now() - start, state.iterations());
    const double transfers = static_cast<double>(emulator.TransferCount() - first) /
                             static_cast<double>(state.iterations());

    state.counters[kMicrosecondsPerCommand] = perCommand;
    state.counters[kTransfersPerCommand] = transfers;
    state.counters[kExpectedTransfers] = tested.expectedTransfers;
    const auto transfersOfOne = static_cast<double>(ofOne.size());
    state.counters[kEmulatorMicrosecondsPerTransfer] = shares.emulatorMicroseconds / transfersOfOne;
    state.counters[kLibraryMicrosecondsPerTransfer] =
        (shares.commandMicroseconds - shares.emulatorMicroseconds) / transfersOfOne;
    state.SetLabel(std::string(tested.command) + " = " + ReplyText(reply));
}

}  // namespace

void RegisterAdapterBenchmarks() {
    for (const AdapterCase &tested : kAdapterCases) {
        // A fixed number: the emulator logs every transfer and keeps the log.
        benchmark::RegisterBenchmark((std::string("adapter/") + tested.preset).c_str(),
                                     AdapterCommand, tested)
            ->Iterations(static_cast<int64_t>(Scaled(50000)));
    }
}

}  // namespace bench

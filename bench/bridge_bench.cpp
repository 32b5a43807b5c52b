// Heads behind the bridge emulator on a pseudo-terminal, served by the emulator's own thread: the
// shipped wait for a reply against the former one that looked once a millisecond, unpaced and
// with the line paced at 9600 baud.
#include <chrono>
#include <exception>
#include <optional>
#include <string>

#include "bench_support.h"
#include "benchmarks.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kCommand = "?TBRF";
constexpr uint32_t kLineBaudRate = 9600;
constexpr double kBitsPerByte = 10;  // 8N1

struct BridgeCase {
    const char *preset;
    SerialWait wait;
    uint32_t pacing;  // baud rate of the line, 0 for as fast as the pseudo-terminal goes
    int64_t commands;
};

void BridgeCommand(benchmark::State &state, const BridgeCase &tested) {
    std::optional<BridgeSupply> supply;
    try {
        supply.emplace(tested.preset, LibraryWith(tested.wait));
    } catch (const std::exception &failure) {
        state.SkipWithError(failure.what());
        return;
    }
    Library &library = LibraryWith(tested.wait);
    const MavoZARP_Handle device = supply->Device();
    char reply[MAVOZARP_BUFFER_SIZE];
    if (library.SendCommand(device, kCommand, reply) != 0) {
        state.SkipWithError("the head behind the bridge refused the command");
        return;
    }
    sim::PtyEndpoint &line = supply->Line();
    line.SetPacing(tested.pacing);
    line.ClearReceived();
    const size_t sentBefore = line.SentCount();

    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        benchmark::DoNotOptimize(library.SendCommand(device, kCommand, reply));
    }
    const double perCommand = MicrosecondsPer(Clock::now() - start, state.iterations());
    const auto iterations = static_cast<double>(state.iterations());
    const double bytesOut = static_cast<double>(line.Received().size()) / iterations;
    const double bytesBack = static_cast<double>(line.SentCount() - sentBefore) / iterations;

    state.counters[kMicrosecondsPerCommand] = perCommand;
    state.counters["bytes_out_per_command"] = bytesOut;
    state.counters["bytes_back_per_command"] = bytesBack;
    if (tested.pacing != 0) {
        const double wireMilliseconds =
            (bytesOut + bytesBack) * kBitsPerByte * 1000 / tested.pacing;
        state.counters[kWireMilliseconds] = wireMilliseconds;
        state.counters[kTimeOverWire] = perCommand / 1000 / wireMilliseconds;
    }
    state.SetLabel(std::string(kCommand) + " = " + ReplyText(reply));
}

}  // namespace

void RegisterBridgeBenchmarks() {
    // Fixed numbers of commands: each run opens the line and identifies the head first.
    static const BridgeCase kCases[] = {
        {"picox-640", SerialWait::Descriptor, 0, 2000},
        {"picox-640", SerialWait::Looking, 0, 300},
        {"kora-band2", SerialWait::Descriptor, 0, 2000},
        {"kora-band2", SerialWait::Looking, 0, 300},
        {"picox-640", SerialWait::Descriptor, kLineBaudRate, 40},
        {"picox-640", SerialWait::Looking, kLineBaudRate, 40},
    };
    for (const BridgeCase &tested : kCases) {
        const std::string line = tested.pacing == 0 ? "bridge" : "bridge_9600";
        benchmark::RegisterBenchmark(
            (line + "/" + tested.preset + "/" + NameOf(tested.wait)).c_str(), BridgeCommand,
            tested)
            ->Iterations(static_cast<int64_t>(Scaled(static_cast<size_t>(tested.commands))))
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
    }
}

}  // namespace bench

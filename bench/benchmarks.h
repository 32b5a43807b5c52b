// The benchmarks of each path, registered by main once the command line is read, and what the
// targets summary needs to know of them.
#pragma once

#include <chrono>
#include <cstdint>

#include <benchmark/benchmark.h>

namespace bench {

void RegisterSimulatedHeadBenchmarks();
void RegisterAdapterBenchmarks();
void RegisterBridgeBenchmarks();
void RegisterMemoryBenchmarks();

// Microseconds per iteration between two points of the steady clock.
inline double MicrosecondsPer(std::chrono::steady_clock::duration elapsed, int64_t iterations) {
    return std::chrono::duration<double, std::micro>(elapsed).count() /
           static_cast<double>(iterations);
}

// Counter names the summary reads.
inline constexpr const char *kMicrosecondsPerCommand = "us_per_command";
inline constexpr const char *kTransfersPerCommand = "transfers_per_command";
inline constexpr const char *kExpectedTransfers = "expected_transfers";
inline constexpr const char *kLibraryMicrosecondsPerTransfer = "library_us_per_transfer";
inline constexpr const char *kEmulatorMicrosecondsPerTransfer = "emulator_us_per_transfer";
inline constexpr const char *kTimeOverWire = "time_over_wire";
inline constexpr const char *kWireMilliseconds = "wire_ms";
inline constexpr const char *kResidentGrowth = "rss_growth_kB";

}  // namespace bench

// mavozarp_service_bench: the service's own overhead on the simulated head (instrument socket, HTTP,
// Modbus TCP), and what worker processes give a service with many paced supplies; then the targets
// as measured in this run.
//
//   mavozarp_service_bench [Google Benchmark options]
//
// With MAVOZARP_BENCH_SERVICE=HTTP_PORT,SOCKET_PORT[,MODBUS_PORT] the simulated head's queries go to
// a `mavozarp serve --simulated` already running (another build, to compare two in one run).
#include "summary.h"
#include "workers_bench.h"

#include <benchmark/benchmark.h>

namespace {

using bench::Counter;
using bench::Format;
using bench::Line;

void Summarise(const bench::Collector &runs) {
    std::printf("\nTargets, as measured in this run:\n");
    if (const auto *socket = runs.Find("InstrumentSocket")) {
        const double rate = Counter(*socket, "queries/s");
        Line("instrument socket, simulated head, one client", Format("%.1f k queries/s", rate / 1e3),
             ">= 20 k queries/s", rate >= 20e3);
    }
    if (const auto *modbus = runs.Find("ModbusInputRegisters", 16)) {
        const double rate = Counter(*modbus, "queries/s"), p99 = Counter(*modbus, "p99_us");
        Line("Modbus, 3 input registers, 16 clients", Format("%.1f k reads/s", rate / 1e3), ">= 5 k reads/s",
             rate >= 5e3);
        Line("Modbus, 3 input registers, 16 clients, p99", Format("%.2f ms", p99 / 1e3), "< 5 ms", p99 < 5e3);
    }
    const auto *one = runs.Find(service_bench::PacedName(1, true), 1);
    const auto *four = runs.Find(service_bench::PacedName(4, true), 4);
    if (one != nullptr && four != nullptr) {
        const double ratio = Counter(*four, "queries/s") / Counter(*one, "queries/s");
        Line("4 paced supplies, 4 clients, over 1", Format("%.2f times the rate", ratio), ">= 3.5 times", ratio >= 3.5);
    }
    for (const bool workers : {true, false}) {
        for (const int supplies : {1, 2, 4, 8}) {
            if (const auto *run = runs.Find(service_bench::PacedName(supplies, workers), supplies)) {
                Line(service_bench::PacedName(supplies, workers), Format("%.1f queries/s", Counter(*run, "queries/s")),
                     "", std::nullopt);
            }
        }
    }
    const auto *worker = runs.Find(service_bench::HopName(true));
    const auto *here = runs.Find(service_bench::HopName(false));
    if (worker != nullptr && here != nullptr) {
        const double hop = Counter(*worker, "p50_us") - Counter(*here, "p50_us");
        Line("the hop through a worker, p50", Format("%.1f us", hop), "< 50 us", hop < 50);
    }
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    service_bench::RegisterWorkerBenchmarks();
    bench::Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    Summarise(collector);
    benchmark::Shutdown();
    return 0;
}

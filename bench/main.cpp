// mavozarp_bench: the benchmarks of every path, then the performance targets, each as measured
// in this same run.
//
//   mavozarp_bench [--short] [Google Benchmark options]
//
// --short divides every fixed number of commands by 100, for a run under valgrind.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "benchmarks.h"
#include "summary.h"

namespace {

using bench::Collector;
using bench::Counter;
using bench::Format;
using bench::Line;
using Run = benchmark::BenchmarkReporter::Run;

void Summarise(const Collector &runs) {
    std::printf("\nTargets, as measured in this run:\n");
    for (const char *name : {"simulated/query", "simulated/set"}) {
        if (const Run *run = runs.Find(name)) {
            const double rate = Counter(*run, "items_per_second");
            Line(std::string(name) + ", one thread", Format("%.2f M commands/s", rate / 1e6),
                 ">= 1 M commands/s", rate >= 1e6);
        }
    }
    for (const char *preset : {"picox-640", "kora-band2"}) {
        const Run *run = runs.Find(std::string("adapter/") + preset);
        if (run == nullptr) continue;
        const double transfers = Counter(*run, bench::kTransfersPerCommand);
        const double expected = Counter(*run, bench::kExpectedTransfers);
        Line(std::string("adapter ") + preset + " ?TBRF, transfers",
             Format("%.2f a command", transfers), Format("exactly %.0f", expected),
             transfers == expected);
        const double own = Counter(*run, bench::kLibraryMicrosecondsPerTransfer);
        Line(std::string("adapter ") + preset + " ?TBRF, library's own time",
             Format("%.3f us a transfer", own), "<= 2 us a transfer", own <= 2.0);
    }
    for (const char *preset : {"picox-640", "kora-band2"}) {
        const std::string base = std::string("bridge/") + preset + "/";
        const Run *descriptor = runs.Find(base + bench::NameOf(bench::SerialWait::Descriptor));
        const Run *looking = runs.Find(base + bench::NameOf(bench::SerialWait::Looking));
        if (descriptor == nullptr || looking == nullptr) continue;
        const double speedUp = Counter(*looking, bench::kMicrosecondsPerCommand) /
                               Counter(*descriptor, bench::kMicrosecondsPerCommand);
        Line(std::string("bridge ") + preset + " ?TBRF, new wait over old",
             Format("%.1f times faster", speedUp), ">= 5 times faster", speedUp >= 5.0);
    }
    for (const bench::SerialWait wait : {bench::SerialWait::Descriptor, bench::SerialWait::Looking}) {
        const Run *run = runs.Find(std::string("bridge_9600/picox-640/") + bench::NameOf(wait));
        if (run == nullptr) continue;
        const double ratio = Counter(*run, bench::kTimeOverWire);
        const bool shipped = wait == bench::SerialWait::Descriptor;
        Line(std::string("9600 baud picox-640 ?TBRF, ") + bench::NameOf(wait),
             Format("%.3f x wire time", ratio) +
                 Format(" (%.2f ms)", Counter(*run, bench::kWireMilliseconds)),
             "within 5 % of it",
             shipped ? std::optional<bool>(ratio <= 1.05 && ratio >= 0.95) : std::nullopt);
    }
    for (const char *path : {"simulated", "bridge"}) {
        const Run *run = runs.Find(std::string("memory/") + path);
        if (run == nullptr) continue;
        const double growth = Counter(*run, bench::kResidentGrowth);
        Line(std::string("resident memory, ") + path + Format(", %.0f commands",
                                                               Counter(*run, "commands")),
             Format("%+.0f kB", growth), "no growth (< 64 kB)", growth < 64);
    }
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<char *> arguments;
    bool shortRun = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--short") == 0) {
            shortRun = true;
        } else {
            arguments.push_back(argv[i]);
        }
    }
    bench::SetShortRun(shortRun);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;

    bench::RegisterSimulatedHeadBenchmarks();
    bench::RegisterAdapterBenchmarks();
    bench::RegisterBridgeBenchmarks();
    bench::RegisterMemoryBenchmarks();

    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    Summarise(collector);
    benchmark::Shutdown();
    return 0;
}

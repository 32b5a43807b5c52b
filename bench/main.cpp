// mavozarp_bench: the benchmarks of every path, then the performance targets, each as measured
// in this same run.
//
//   mavozarp_bench [--short] [Google Benchmark options]
//
// --short divides every fixed number of commands by 100, for a run under valgrind.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "benchmarks.h"

namespace {

using Run = benchmark::BenchmarkReporter::Run;

// The console output (tabular counters, colours on a terminal), keeping every run for the
// summary.
class Collector : public benchmark::ConsoleReporter {
public:
    Collector() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (!run.error_occurred) collected.push_back(run);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The benchmark with that name and thread count: the median of its repetitions when it was
    // repeated, else its last run; null when it did not run.
    const Run *Find(const std::string &name, int threads = 1) const {
        const Run *found = nullptr;
        for (const Run &run : collected) {
            if (run.run_name.function_name != name || run.threads != threads) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") return &run;
            if (run.run_type == Run::RT_Iteration) found = &run;
        }
        return found;
    }

private:
    std::vector<Run> collected;
};

double Counter(const Run &run, const char *name) {
    const auto found = run.counters.find(name);
    return found == run.counters.end() ? 0.0 : found->second.value;
}

// One line of the summary; a line without `met` is there for comparison only.
void Line(const std::string &what, const std::string &measured, const std::string &target,
          std::optional<bool> met) {
    std::printf("  %-48s %-32s %-22s %s\n", what.c_str(), measured.c_str(), target.c_str(),
                !met ? "(for comparison)" : *met ? "met" : "NOT MET");
}

std::string Format(const char *format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

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

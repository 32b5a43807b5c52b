#include "summary.h"

#include <unistd.h>

#include <cstdio>

namespace bench {

Collector::Collector() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

void Collector::ReportRuns(const std::vector<Run> &runs) {
    for (const Run &run : runs) {
        if (!run.error_occurred) collected_.push_back(run);
    }
    ConsoleReporter::ReportRuns(runs);
}

const Collector::Run *Collector::Find(const std::string &name, int threads) const {
    const Run *found = nullptr;
    for (const Run &run : collected_) {
        if (run.run_name.function_name != name || run.threads != threads) continue;
        if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") return &run;
        if (run.run_type == Run::RT_Iteration) found = &run;
    }
    return found;
}

double Counter(const benchmark::BenchmarkReporter::Run &run, const char *name) {
    const auto found = run.counters.find(name);
    return found == run.counters.end() ? 0.0 : found->second.value;
}

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

}  // namespace bench

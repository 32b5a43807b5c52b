// The summary every benchmark program ends with: the console output kept run by run, and one line
// per performance target as measured in the same run (met, NOT MET, or for comparison only).
#pragma once

#include <benchmark/benchmark.h>

#include <optional>
#include <string>
#include <vector>

namespace bench {

// The console output (tabular counters, colours on a terminal), keeping every run for the
// summary.
class Collector : public benchmark::ConsoleReporter {
public:
    using Run = benchmark::BenchmarkReporter::Run;

    Collector();
    void ReportRuns(const std::vector<Run> &runs) override;

    // The benchmark with that name and thread count: the median of its repetitions when it was
    // repeated, else its last run; null when it did not run.
    const Run *Find(const std::string &name, int threads = 1) const;

private:
    std::vector<Run> collected_;
};

double Counter(const benchmark::BenchmarkReporter::Run &run, const char *name);

// One line of the summary; a line without `met` is there for comparison only.
void Line(const std::string &what, const std::string &measured, const std::string &target,
          std::optional<bool> met);

std::string Format(const char *format, double value);

}  // namespace bench

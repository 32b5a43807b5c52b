// The benchmarks of the service with paced supplies in worker processes, and their names for the
// summary.
#pragma once

#include <string>

namespace service_bench {

void RegisterWorkerBenchmarks();

std::string PacedName(int supplies, bool workers);
std::string HopName(bool workers);

}  // namespace service_bench

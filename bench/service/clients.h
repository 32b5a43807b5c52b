// The clients of the service benchmarks: loopback connections that send a request and wait for
// its whole reply, timed per request, with p50 and p99 as Google Benchmark counters.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace service_bench {

// A loopback connection with small writes sent at once; -1 when it cannot be made.
int Connect(uint16_t port);

// Receives until `complete` says the reply is whole; false when the connection ended first.
bool Receive(int fd, std::string &reply, const std::function<bool(const std::string &)> &complete);

// One line sent on an instrument connection, its reply line (without its end) back; false when
// the connection ended.
bool AskLine(int fd, const std::string &line, std::string &reply);

// Times each iteration; p50 and p99 become counters in microseconds, the iterations of every
// thread together a rate.
class Latencies {
public:
    void Run(benchmark::State &state, const std::function<void()> &query);

private:
    std::vector<double> times_;
};

}  // namespace service_bench

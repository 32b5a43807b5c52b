// The service's overhead: the simulated head's "?P" through an instrument socket and through the
// HTTP API on a keep-alive connection, against the same query made in this process; queries per
// second, their ratio to in-process, and latency p50 and p99 of each. The service runs in this
// process on loopback, as `mavozarp serve --simulated` would.
#include "device_registry.h"
#include "http_api.h"
#include "instrument_sockets.h"

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

namespace {

struct Service {
    Service() : registry(Options()), sockets(Sockets()) {
        registry.Open();
        registry.Watch([this](const std::shared_ptr<ServedDevice> &device, bool arrived) {
            sockets.DeviceChanged(device, arrived);
        });
        HttpOptions http;
        http.port = 0;
        http.policy.hostNames = {"127.0.0.1"};
        api = std::make_unique<HttpApi>(registry, http);
        api->Start();
    }
    static InstrumentOptions Sockets() {
        InstrumentOptions options;
        options.firstPort = 0;
        return options;
    }
    static RegistryOptions Options() {
        RegistryOptions options;
        options.simulated = true;
        return options;
    }
    DeviceRegistry registry;
    InstrumentSockets sockets;
    std::unique_ptr<HttpApi> api;
};

Service &TheService() {
    static Service *service = new Service;  // left running until the process ends
    return *service;
}

// Times each iteration; p50 and p99 become counters in microseconds.
class Latencies {
public:
    template <typename Query>
    void Run(benchmark::State &state, Query query) {
        for (auto _ : state) {
            const auto start = std::chrono::steady_clock::now();
            query();
            times_.push_back(std::chrono::duration<double, std::micro>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
        }
        std::sort(times_.begin(), times_.end());
        state.counters["p50_us"] = times_[times_.size() / 2];
        state.counters["p99_us"] = times_[times_.size() * 99 / 100];
        state.counters["queries/s"] =
            benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    }

private:
    std::vector<double> times_;
};

void InProcess(benchmark::State &state) {
    Latencies latencies;
    latencies.Run(state, [] { benchmark::DoNotOptimize(SendCommand(MAVOZARP_SIMULATED_HANDLE, "?P")); });
}

void InstrumentSocket(benchmark::State &state) {
    const uint16_t port = TheService().sockets.Ports().at("simulated");
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    Latencies latencies;
    char reply[128];
    latencies.Run(state, [&] {
        send(fd, "?P\n", 3, 0);
        ssize_t got = 0;
        while (got == 0 || reply[got - 1] != '\n') got += recv(fd, reply + got, sizeof reply - got, 0);
    });
    close(fd);
}

void HttpKeepAlive(benchmark::State &state) {
    httplib::Client client("127.0.0.1", TheService().api->Port());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    Latencies latencies;
    latencies.Run(state, [&] {
        const auto answer = client.Post("/api/v1/devices/simulated/commands",
                                        R"({"commands": ["?P"]})", "application/json");
        if (!answer || answer->status != 200) state.SkipWithError("request failed");
    });
}

BENCHMARK(InProcess)->UseRealTime();
BENCHMARK(InstrumentSocket)->UseRealTime();
BENCHMARK(HttpKeepAlive)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

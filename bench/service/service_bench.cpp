// The service's overhead: the simulated head's "?P" through an instrument socket and through the
// HTTP API on a keep-alive connection, by 1, 4 and 16 clients at once (a connection each), against
// the same query made in this process; queries per second of all clients together, and latency p50
// and p99 (the mean of the clients'). The service runs in this process on loopback, as
// `mavozarp serve --simulated` would; with MAVOZARP_BENCH_SERVICE=HTTP_PORT,SOCKET_PORT the queries go
// to a `mavozarp serve --simulated` running on loopback instead (to compare two builds in one run).
#include "device_registry.h"
#include "http_api.h"
#include "instrument_sockets.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Service {
    Service() : registry(loop, Options()), sockets(loop, Sockets()) {
        registry.Open();
        registry.Watch([this](const std::shared_ptr<ServedDevice> &device, bool arrived) {
            sockets.DeviceChanged(device, arrived);
        });
        HttpOptions http;
        http.port = 0;
        http.policy.hostNames = {"127.0.0.1"};
        api = std::make_unique<HttpApi>(registry, loop, http);
        api->Start();
    }
    static InstrumentOptions Sockets() {
        InstrumentOptions options;
        options.firstPort = 0;
        options.connectionsPerDevice = 16;  // a service run as a program takes 8 per device
        return options;
    }
    static RegistryOptions Options() {
        RegistryOptions options;
        options.simulated = true;
        return options;
    }
    EventLoop loop;
    DeviceRegistry registry;
    InstrumentSockets sockets;
    std::unique_ptr<HttpApi> api;
};

struct Ports {
    uint16_t http;
    uint16_t socket;
};

// The service's ports: of the one named by the environment, else of one started in this process.
Ports ServicePorts() {
    static const Ports ports = [] {
        if (const char *named = std::getenv("MAVOZARP_BENCH_SERVICE")) {
            const std::string text = named;
            const size_t comma = text.find(',');
            return Ports{static_cast<uint16_t>(std::stoul(text.substr(0, comma))),
                         static_cast<uint16_t>(std::stoul(text.substr(comma + 1)))};
        }
        Service *service = new Service;  // left running until the process ends
        return Ports{service->api->Port(), service->sockets.Ports().at("simulated")};
    }();
    return ports;
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
        if (times_.empty()) return;
        state.counters["p50_us"] = benchmark::Counter(times_[times_.size() / 2], benchmark::Counter::kAvgThreads);
        state.counters["p99_us"] = benchmark::Counter(times_[times_.size() * 99 / 100], benchmark::Counter::kAvgThreads);
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

// A loopback connection with small writes sent at once; -1 when it cannot be made.
int Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return fd;
}

// Receives until `complete` says the reply is whole; false when the connection ended first.
template <typename Complete>
bool Receive(int fd, std::string &reply, Complete complete) {
    reply.clear();
    char chunk[4096];
    while (!complete(reply)) {
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        reply.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

void InstrumentSocket(benchmark::State &state) {
    const int fd = Connect(ServicePorts().socket);
    if (fd < 0) return state.SkipWithError("cannot connect");
    Latencies latencies;
    std::string reply;
    latencies.Run(state, [&] {
        send(fd, "?P\n", 3, MSG_NOSIGNAL);
        if (!Receive(fd, reply, [](const std::string &text) { return text.ends_with('\n'); }))
            state.SkipWithError("connection closed");
    });
    close(fd);
}

// POST .../commands on one keep-alive connection; the reply is whole when its Content-Length is in.
void HttpKeepAlive(benchmark::State &state) {
    const uint16_t port = ServicePorts().http;
    const int fd = Connect(port);
    if (fd < 0) return state.SkipWithError("cannot connect");
    const std::string body = R"({"commands": ["?P"]})";
    const std::string request = "POST /api/v1/devices/simulated/commands HTTP/1.1\r\nHost: 127.0.0.1:" +
                                std::to_string(port) +
                                "\r\nContent-Type: application/json\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    const auto whole = [](const std::string &text) {
        const size_t end = text.find("\r\n\r\n");
        const size_t field = text.find("Content-Length: ");
        if (end == std::string::npos || field == std::string::npos) return false;
        return text.size() >= end + 4 + std::stoul(text.substr(field + 16));
    };
    Latencies latencies;
    std::string reply;
    latencies.Run(state, [&] {
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        if (!Receive(fd, reply, whole) || !reply.starts_with("HTTP/1.1 200")) state.SkipWithError("request failed");
    });
    close(fd);
}

BENCHMARK(InProcess)->UseRealTime();
BENCHMARK(InstrumentSocket)->UseRealTime()->Threads(1)->Threads(4)->Threads(16);
BENCHMARK(HttpKeepAlive)->UseRealTime()->Threads(1)->Threads(4)->Threads(16);

}  // namespace

BENCHMARK_MAIN();

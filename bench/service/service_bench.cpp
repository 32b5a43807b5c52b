// The service's overhead: the simulated head's "?P" through an instrument socket and through the
// HTTP API on a keep-alive connection, and its three fixed input registers (?P, ?C, ?TMAIN) read
// over Modbus TCP, by 1, 4 and 16 clients at once (a connection each), against the same query made
// in this process; queries per second of all clients together, and latency p50 and p99 (the mean of
// the clients'). The service runs in this process on loopback, as
// `mavozarp serve --simulated --modbus-port 0` would; with
// MAVOZARP_BENCH_SERVICE=HTTP_PORT,SOCKET_PORT[,MODBUS_PORT] the queries go to a
// `mavozarp serve --simulated` running on loopback instead (to compare two builds in one run).
#include "clients.h"
#include "device_registry.h"
#include "http_api.h"
#include "instrument_sockets.h"
#include "modbus_door.h"

#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using service_bench::Connect;
using service_bench::Latencies;
using service_bench::Receive;

AccessPolicy ReadOnlyOnLoopback() {
    AccessPolicy policy;
    policy.hostNames = {"127.0.0.1"};
    return policy;
}

struct Service {
    Service()
        : registry(loop, Options()),
          gate(loop, ReadOnlyOnLoopback()),
          sockets(loop, gate, Sockets()),
          modbus(loop, gate, Modbus()) {
        registry.Open();
        modbusPort = modbus.Listen();
        registry.Watch([this](const std::shared_ptr<ServedDevice> &device, bool arrived) {
            sockets.DeviceChanged(device, arrived);
            modbus.DeviceChanged(device, arrived);
        });
        HttpOptions http;
        http.port = 0;
        api = std::make_unique<HttpApi>(registry, loop, gate, http);
        api->Start();
    }
    static InstrumentOptions Sockets() {
        InstrumentOptions options;
        options.firstPort = 0;
        options.connectionsPerDevice = 16;  // a service run as a program takes 8 per device
        return options;
    }
    static ModbusDoorOptions Modbus() {
        ModbusDoorOptions options;
        options.port = 0;
        options.configured = ConfiguredIds(Options());
        return options;
    }
    static RegistryOptions Options() {
        RegistryOptions options;
        options.simulated = true;
        return options;
    }
    EventLoop loop;
    DeviceRegistry registry;
    CommandGate gate;
    InstrumentSockets sockets;
    ModbusDoor modbus;
    uint16_t modbusPort = 0;
    std::unique_ptr<HttpApi> api;
};

struct Ports {
    uint16_t http;
    uint16_t socket;
    uint16_t modbus;  // 0: a service named without one
};

// The service's ports: of the one named by the environment, else of one started in this process.
Ports ServicePorts() {
    static const Ports ports = [] {
        if (const char *named = std::getenv("MAVOZARP_BENCH_SERVICE")) {
            std::vector<uint16_t> numbers;
            std::istringstream text(named);
            for (std::string number; std::getline(text, number, ',');)
                numbers.push_back(static_cast<uint16_t>(std::stoul(number)));
            numbers.resize(3);
            return Ports{numbers[0], numbers[1], numbers[2]};
        }
        Service *service = new Service;  // left running until the process ends
        return Ports{service->api->Port(), service->sockets.Ports().at("simulated"), service->modbusPort};
    }();
    return ports;
}

void InProcess(benchmark::State &state) {
    Latencies latencies;
    latencies.Run(state, [] { benchmark::DoNotOptimize(SendCommand(MAVOZARP_SIMULATED_HANDLE, "?P")); });
}

void InstrumentSocket(benchmark::State &state) {
    const int fd = Connect(ServicePorts().socket);
    if (fd < 0) return state.SkipWithError("cannot connect");
    Latencies latencies;
    std::string reply;
    latencies.Run(state, [&] {
        if (!service_bench::AskLine(fd, "?P", reply)) state.SkipWithError("connection closed");
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

// Function 4, input registers 0 to 5 of unit 1 (the simulated head): the answer is whole at 21 bytes.
void ModbusInputRegisters(benchmark::State &state) {
    if (ServicePorts().modbus == 0) return state.SkipWithError("the service named serves no Modbus");
    const int fd = Connect(ServicePorts().modbus);
    if (fd < 0) return state.SkipWithError("cannot connect");
    constexpr size_t kAnswerBytes = 7 + 2 + 12;
    std::string request = {0, 0, 0, 0, 0, 6, 1, 4, 0, 0, 0, 6};
    Latencies latencies;
    std::string reply;
    uint16_t transaction = 0;
    latencies.Run(state, [&] {
        ++transaction;
        request[0] = static_cast<char>(transaction >> 8);
        request[1] = static_cast<char>(transaction & 0xFF);
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        if (!Receive(fd, reply, [](const std::string &text) { return text.size() >= kAnswerBytes; }) ||
            reply.size() != kAnswerBytes || reply[7] != 4 || reply.substr(0, 2) != request.substr(0, 2))
            state.SkipWithError("request failed");
    });
    close(fd);
}

BENCHMARK(InProcess)->UseRealTime();
BENCHMARK(InstrumentSocket)->UseRealTime()->Threads(1)->Threads(4)->Threads(16);
BENCHMARK(HttpKeepAlive)->UseRealTime()->Threads(1)->Threads(4)->Threads(16);
BENCHMARK(ModbusInputRegisters)->UseRealTime()->Threads(1)->Threads(4)->Threads(16);

}  // namespace

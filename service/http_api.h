// The HTTP API under /api/v1 (JSON) and /metrics (Prometheus), with the security checks every
// request passes first: Host (against DNS rebinding), the token, Origin on everything that changes
// state or streams (against cross-site requests; no CORS permission is ever given), and JSON as
// the only content type of a command.
#pragma once

#include "command_gate.h"
#include "device_registry.h"
#include "event_loop.h"
#include "http_server.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

struct HttpOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 8080;  // 0: any free port
    HttpLimits limits;          // sizes, deadlines and connections
    std::shared_ptr<TlsContext> tls;  // HTTPS and streams over TLS; null: plain HTTP
    size_t maxStreams = 56;     // event streams open at once
    size_t maxCommands = 32;    // commands in one batch
    std::chrono::milliseconds statusMaxAge{1000};  // a status panel read serves requests this long
    // The instrument socket port and the Modbus unit of each device, by id, for the device documents.
    std::function<std::map<std::string, uint16_t>()> instrumentPorts;
    std::function<std::map<std::string, uint8_t>()> modbusUnits;
};

class HttpApi {
public:
    // Commands pass the gate, whose policy also holds the Host names and whether reading wants the
    // token.
    HttpApi(DeviceRegistry &registry, EventLoop &loop, CommandGate &gate, HttpOptions options);
    ~HttpApi();  // stops the loop it serves on: open streams end, connections close
    HttpApi(const HttpApi &) = delete;
    HttpApi &operator=(const HttpApi &) = delete;

    // Binds the port (throws std::runtime_error saying why it cannot) and serves on the loop.
    void Start();
    uint16_t Port() const { return port_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    uint16_t port_ = 0;
};

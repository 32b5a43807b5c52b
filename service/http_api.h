// The HTTP API under /api/v1 (JSON) and /metrics (Prometheus), with the security checks every
// request passes first: Host (against DNS rebinding), the token, Origin on everything that changes
// state or streams (against cross-site requests; no CORS permission is ever given), and JSON as
// the only content type of a command.
#pragma once

#include "access_policy.h"
#include "device_registry.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

struct HttpOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 8080;  // 0: any free port
    AccessPolicy policy;
    size_t workers = 64;            // connections served at once; more are answered 503
    size_t maxStreams = 56;         // event streams open at once
    size_t maxBody = 64 * 1024;     // bytes of a request body
    size_t maxCommands = 32;        // commands in one batch
    std::chrono::seconds idle{10};  // a silent keep-alive connection or stalled client is closed
    std::chrono::milliseconds statusMaxAge{1000};  // a status panel read serves requests this long
    // The instrument socket port of each device, by id, for the device documents.
    std::function<std::map<std::string, uint16_t>()> instrumentPorts;
};

class HttpApi {
public:
    HttpApi(DeviceRegistry &registry, HttpOptions options);
    ~HttpApi();  // stops serving: open streams end, connections close
    HttpApi(const HttpApi &) = delete;
    HttpApi &operator=(const HttpApi &) = delete;

    // Binds the port (throws std::runtime_error when it cannot) and serves on a thread of its own.
    void Start();
    uint16_t Port() const { return port_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    uint16_t port_ = 0;
};

// The service on an MQTT broker (libmosquitto): every device's description, state, samples and
// fault word published under the machine's prefix, and commands taken from the broker with one
// reply each. One thread owns the broker connection (connects, publishes, reconnects with
// back-off); samplers only hand their samples to a bounded buffer, so a broker that is slow or away
// never holds a device. Commands run on a thread of their own, in arrival order.
#pragma once

#include "device_registry.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct BrokerAddress {
    bool tls = false;
    std::string host;
    uint16_t port = 0;
};

// The readings published when none are named.
inline constexpr char kDefaultReadings[] = "?P,?C,?L,?FF";

struct MqttOptions {
    std::string url;  // as given: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    BrokerAddress broker;
    std::string clientId;
    std::string prefix;  // ends with '/'
    std::string user;    // empty: no credentials
    std::string password;
    std::string caFile;  // empty: the system's certificates
    int protocolVersion = 5;
    std::vector<std::string> readings;
    std::chrono::milliseconds interval{1000};
    size_t bufferedSamples = 1000;
    bool allowControl = false;
};

class MqttBridge {
public:
    explicit MqttBridge(MqttOptions options);
    // Publishes what it can within a moment, marks the machine offline and disconnects.
    ~MqttBridge();
    MqttBridge(const MqttBridge &) = delete;
    MqttBridge &operator=(const MqttBridge &) = delete;

    // For DeviceRegistry::Watch: starts or ends a device's feed.
    void DeviceChanged(const std::shared_ptr<ServedDevice> &device, bool arrived);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

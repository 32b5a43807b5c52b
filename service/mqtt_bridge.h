// The service on an MQTT broker (libmosquitto): every device's description, state, samples and
// fault word published under the machine's prefix, and commands taken from the broker with one
// reply each. One thread owns the broker connection (connects, publishes, reconnects with
// back-off); samplers only hand their samples to a bounded buffer, so a broker that is slow or away
// never holds a device. Commands run on a thread of their own, in arrival order.
#pragma once

#include "arguments.h"
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

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883); IPv6 hosts in brackets. Throws
// UsageError.
BrokerAddress ParseBrokerUrl(const std::string &url);

// A device id as one topic level: bytes other than letters, digits and "-_.~?" as %XX, so that
// "/dev/pts/5" becomes "%2Fdev%2Fpts%2F5" and no id can hold a level separator or a wildcard.
std::string TopicLevel(std::string_view id);
// The id of a topic level; nothing when a % is not followed by two hexadecimal digits.
std::optional<std::string> IdOfTopicLevel(std::string_view level);

struct MqttOptions {
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

// The MQTT options of the command line, or nothing without --mqtt. Throws UsageError.
std::optional<MqttOptions> ReadMqttOptions(const ParsedArguments &arguments, bool allowControl);

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

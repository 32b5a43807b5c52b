// What the service is told about its MQTT broker and what to publish there; the command line and
// the configuration file fill it in (tools/), the connection and the bridge read it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
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
};

// The service's connection to its MQTT broker (libmosquitto). One thread owns the client: it
// connects and reconnects with back-off, publishes a bounded buffer in order, publishes the
// retained messages again after a reconnection, keeps what the broker has not acknowledged for the
// next connection, and leaves "offline" as the machine's status (also its last will). Callers only
// hand messages over, so a broker that is slow or away never holds them.
#pragma once

#include "mqtt_buffer.h"
#include "mqtt_options.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A message on <prefix><level>/command, with what MQTT 5 says about its reply; the views last as
// long as the call that is given it.
struct IncomingCommand {
    std::string_view topic;
    std::string_view level;  // the device's topic level
    std::string_view payload;
    std::string responseTopic{};  // empty: none given
    std::string correlation{};
    std::optional<std::string> token{};  // the MQTT 5 user property "token": whose command it is
};

class MqttConnection {
public:
    // Runs on the connection thread, one message at a time; what it throws is reported and the
    // message left.
    using CommandHandler = std::function<void(const IncomingCommand &)>;

    MqttConnection(MqttOptions options, CommandHandler onCommand);
    // Delivers what it can within a moment, marks the machine offline and disconnects.
    ~MqttConnection();
    MqttConnection(const MqttConnection &) = delete;
    MqttConnection &operator=(const MqttConnection &) = delete;

    // A retained state or a reply: never dropped.
    void Publish(MqttMessage message);
    // One sample's messages, kept or dropped together: a full buffer drops the oldest sample.
    void PublishSample(std::vector<MqttMessage> messages);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The service's devices on an MQTT broker: every device's description, state, samples and fault
// word published under the machine's prefix, and commands taken from the broker with one reply
// each. Samplers only hand their messages to the connection (mqtt_connection.h), so a broker that
// is slow or away never holds a device. Commands go to their device's own queue, so a command
// for a slow device never holds one for another; the answer is published when it is done.
#pragma once

#include "command_gate.h"
#include "device_registry.h"
#include "mqtt_options.h"

#include <memory>

class MqttBridge {
public:
    // Commands pass the gate as the MQTT door's: the broker has checked who may publish them.
    MqttBridge(MqttOptions options, CommandGate &gate);
    // Publishes what it can within a moment, marks the machine offline and disconnects.
    ~MqttBridge();
    MqttBridge(const MqttBridge &) = delete;
    MqttBridge &operator=(const MqttBridge &) = delete;

    // For DeviceRegistry::Watch: starts or ends a device's feed.
    void DeviceChanged(const std::shared_ptr<ServedDevice> &device, bool arrived);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;  // shared with the answers on their way
};

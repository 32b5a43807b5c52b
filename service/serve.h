// The service from start to SIGINT/SIGTERM: the devices, the HTTP API with the dashboard, the
// instrument sockets and, when asked, the MQTT bridge. The command line that fills in the
// settings is the tool's.
#pragma once

#include "device_registry.h"
#include "http_api.h"
#include "instrument_sockets.h"
#include "mqtt_bridge.h"

#include <optional>

struct ServeSettings {
    RegistryOptions devices;
    HttpOptions http;
    InstrumentOptions instruments;
    std::optional<MqttOptions> mqtt;  // nothing: no broker
};

// Runs until SIGINT or SIGTERM; the process's exit status.
int Serve(ServeSettings settings);

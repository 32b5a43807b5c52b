// mavozarp serve: the service's command line and configuration file, read into the service's
// settings; the service itself (service/) runs from there to SIGINT/SIGTERM.
#pragma once

#include "arguments.h"
#include "mqtt_options.h"

#include <optional>
#include <string>

// The Windows build has no MQTT (no Windows build of its client library): its help says so and
// its --mqtt is refused.
inline constexpr bool kServeHasMqtt = MAVOZARP_SERVICE_MQTT;

inline constexpr OptionDefinition kServeOptions[] = {
    {"--config", "FILE", "a JSON file naming devices and options (see docs/service.md)"},
    {"--simulated", nullptr, "serve the simulated head (handle -1)"},
    {"--port", "PATH", "serve the supply on this serial port (repeatable)", true},
    {"--adapters", nullptr, "serve every supply on the USB-to-I2C adapters, rescanned"},
    {"--rescan", "S", "seconds between rescans of the adapters (default 2)"},
    {"--workers", "none", "every device in this process (default: each port, and the adapters, in a worker)"},
    {"--listen", "ADDRESS", "address of the HTTP API (default 127.0.0.1)"},
    {"--http-port", "N", "port of the HTTP API (default 8080; 0 any free port)"},
    {"--host-name", "NAME", "a name clients reach the service by, for the Host check (repeatable)",
     true},
    {"--instrument-address", "ADDRESS", "address of the instrument sockets (default 127.0.0.1)"},
    {"--instrument-port", "N", "first instrument socket port, one per device (default 5025; 0 any)"},
    {"--token-file", "FILE", "the bearer token, in a file only its owner may read"},
    {"--allow-control", nullptr, "accept commands that change settings (with the token)"},
    {"--mqtt", "URL",
     kServeHasMqtt ? "publish to this MQTT broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"
                   : "publish to an MQTT broker (Linux only: this build has no MQTT)"},
    {"--mqtt-id", "ID", "MQTT client id (default mavozarp-MACHINE)"},
    {"--mqtt-machine", "NAME", "this machine's name in the topics (default the host name)"},
    {"--mqtt-prefix", "PREFIX", "topic prefix (default mavozarp/MACHINE/)"},
    {"--mqtt-credentials", "FILE", "user name and password (two lines), in a file only its owner may read"},
    {"--mqtt-ca-file", "FILE", "CA certificates for mqtts:// (default the system's)"},
    {"--mqtt-version", "V", "MQTT protocol version: 5 (default) or 3.1.1"},
    {"--mqtt-readings", "LIST", "queries sampled and published (default ?P,?C,?L,?FF)"},
    {"--mqtt-interval", "S", "seconds between samples (default 1; 0.05 to 3600)"},
    {"--mqtt-buffer", "N", "samples kept while the broker is away (default 1000)"},
};

int RunServe(const ParsedArguments &arguments);

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883); IPv6 hosts in brackets. Throws
// UsageError.
BrokerAddress ParseBrokerUrl(const std::string &url);

// The MQTT options of the command line, or nothing without --mqtt. Throws UsageError.
std::optional<MqttOptions> ReadMqttOptions(const ParsedArguments &arguments, bool allowControl);

// mavozarp serve: the service's command line and configuration file, read into the service's
// settings; the service itself (service/) runs from there to SIGINT/SIGTERM.
#pragma once

#include "arguments.h"
#include "mqtt_options.h"

#include <optional>
#include <string>

// The Windows build has no MQTT and no TLS (no Windows build of their libraries): its help says
// so in a sentence, lists none of their options, and refuses each with that reason.
inline constexpr bool kServeHasMqtt = MAVOZARP_SERVICE_MQTT;
inline constexpr bool kServeHasTls = MAVOZARP_SERVICE_TLS;
#if MAVOZARP_SERVICE_MQTT
#define MAVOZARP_SERVE_MQTT_NOTE ""
#else
#define MAVOZARP_SERVE_MQTT_NOTE " This build has no MQTT (it is in the Linux build)."
#endif
#if MAVOZARP_SERVICE_TLS
#define MAVOZARP_SERVE_TLS_NOTE \
    "\nWith --tls-cert and --tls-key the HTTP API, its event streams and the dashboard are served\n" \
    "over TLS (HTTPS); the instrument sockets stay plain, as instruments are."
#else
#define MAVOZARP_SERVE_TLS_NOTE \
    "\nThis build has no TLS (it is in the Linux build): put a TLS-terminating reverse proxy in\n" \
    "front of a service that listens on loopback."
#endif

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
    {"--users", "FILE", "named users and roles (mavozarp serve-user), a file only its owner may read"},
    {"--allow-control", nullptr, "accept commands that change settings (with a token)"},
    {"--audit-log", "FILE", "record every setting and refusal, one JSON line each (default none)"},
    {"--audit-log-size", "BYTES", "rotate the audit log before a file passes this (default 10485760)"},
    {"--audit-log-keep", "N", "old audit files kept, FILE.1 to FILE.N (default 5; 1 to 100)"},
    {"--tls-cert", "FILE", "serve HTTPS: the certificate chain in PEM (with --tls-key)", false, !kServeHasTls},
    {"--tls-key", "FILE", "the certificate's key in PEM, in a file only its owner may read", false, !kServeHasTls},
    {"--modbus-port", "N", "serve the devices as Modbus TCP units on this port (default none; 0 any)"},
    {"--modbus-control", "ADDRESS[/PREFIX]", "Modbus clients that may write, with --allow-control (repeatable)",
     true},
    {"--mqtt", "URL", "publish to this MQTT broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]",
     false, !kServeHasMqtt},
    {"--mqtt-id", "ID", "MQTT client id (default mavozarp-MACHINE)", false, !kServeHasMqtt},
    {"--mqtt-machine", "NAME", "this machine's name in the topics (default the host name)", false,
     !kServeHasMqtt},
    {"--mqtt-prefix", "PREFIX", "topic prefix (default mavozarp/MACHINE/)", false, !kServeHasMqtt},
    {"--mqtt-credentials", "FILE", "user name and password (two lines), in a file only its owner may read",
     false, !kServeHasMqtt},
    {"--mqtt-ca-file", "FILE", "CA certificates for mqtts:// (default the system's)", false,
     !kServeHasMqtt},
    {"--mqtt-version", "V", "MQTT protocol version: 5 (default) or 3.1.1", false, !kServeHasMqtt},
    {"--mqtt-readings", "LIST", "queries sampled and published (default ?P,?C,?L,?FF)", false,
     !kServeHasMqtt},
    {"--mqtt-interval", "S", "seconds between samples (default 1; 0.05 to 3600)", false,
     !kServeHasMqtt},
    {"--mqtt-buffer", "N", "samples kept while the broker is away (default 1000)", false,
     !kServeHasMqtt},
};

int RunServe(const ParsedArguments &arguments);

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883); IPv6 hosts in brackets. Throws
// UsageError.
BrokerAddress ParseBrokerUrl(const std::string &url);

// The MQTT options of the command line, or nothing without --mqtt. Throws UsageError.
std::optional<MqttOptions> ReadMqttOptions(const ParsedArguments &arguments);

// The service from start to SIGINT/SIGTERM: the devices, the HTTP API with the dashboard (over TLS
// when given a certificate), the instrument sockets and, when asked, the Modbus TCP door and the
// MQTT bridge. The command line that fills in the settings is the tool's.
#pragma once

#include "audit_log.h"
#include "device_registry.h"
#include "http_api.h"
#include "instrument_sockets.h"
#include "modbus_door.h"
#include "mqtt_options.h"
#include "users.h"

#include <optional>
#include <string>

// The HTTP API's certificate and key (PEM files), for HTTPS and event streams over TLS.
struct TlsFiles {
    std::string certificateChain;  // the service's certificate, then any intermediates
    std::string key;               // without a passphrase, readable by its owner only
};

struct ServeSettings {
    RegistryOptions devices;
    // Each serial port's supply in a worker process of its own and the adapters' supplies together
    // in one, so that a slow or failing supply holds up no other; false: every device in this
    // process (the library's lock then makes each wait for the others' transfers).
    bool workers = true;
    AccessPolicy access;  // what every door's clients may do, applied by the command gate
    UserDirectory users;  // who may present a token: the users file's, the token file's admin
    std::optional<AuditOptions> audit;  // nothing: no audit log
    HttpOptions http;
    std::optional<TlsFiles> tls;  // nothing: plain HTTP
    InstrumentOptions instruments;
    // Nothing: no Modbus door. The devices it names before they arrive are the registry's.
    std::optional<ModbusDoorOptions> modbus;
    std::optional<MqttOptions> mqtt;  // nothing: no broker
};

// Runs until asked to stop (stop_requests.h); the process's exit status. A build without MQTT
// (MAVOZARP_SERVICE_MQTT 0) refuses settings that name a broker, one without TLS
// (MAVOZARP_SERVICE_TLS 0) settings with TLS files; TLS files that cannot serve and an audit log
// that cannot be opened are refused (2).
int Serve(ServeSettings settings);

#include "serve.h"

#include "audit_trail.h"
#include "event_loop.h"
#include "http_api.h"
#include "instrument_sockets.h"
#include "stop_requests.h"
#include "worker_supervisor.h"
#include "client/console.h"
#if MAVOZARP_SERVICE_MQTT
#include "mqtt_bridge.h"
#endif
#if MAVOZARP_SERVICE_TLS
#include "tls_context.h"
#endif

#include <csignal>
#include <iostream>
#include <sstream>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace {

// Descriptors kept for the devices, the listeners and the library, out of the process's limit.
constexpr size_t kReservedDescriptors = 64;
// How long the start waits for the workers to tell the devices they found (a port that is no
// supply takes a few seconds of probing; a stuck adapter library must not stop the service).
constexpr auto kLongestWorkerStart = std::chrono::seconds(30);

std::string UrlHost(const std::string &address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

// The descriptors the process may have open.
size_t DescriptorLimit() {
#if defined(_WIN32)
    return 16384;  // sockets are not bounded by a descriptor table there
#else
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 65536;
    return static_cast<size_t>(limit.rlim_cur);
#endif
}

// HTTP connections take at most half of what is left (the rest for instrument sockets and for
// connections being told 503), so the process does not run out of descriptors first.
ConnectionBounds HttpConnectionBounds(ConnectionBounds wanted) {
    const size_t limit = DescriptorLimit();
    const size_t room = limit > 2 * kReservedDescriptors ? (limit - kReservedDescriptors) / 2 : kReservedDescriptors / 2;
    const size_t perListener = std::min(wanted.perListener, room);
    return {.perListener = perListener, .perAddress = std::min(wanted.perAddress, perListener)};
}

// Who may write over Modbus, in a few words.
std::string ModbusWriters(const AccessPolicy &access) {
    if (!access.allowControl || access.modbusWriters.empty())
        return "writes refused (they need --allow-control and --modbus-control)";
    std::ostringstream writers;
    writers << "writes from";
    for (const AddressRange &range : access.modbusWriters) writers << ' ' << range.Text();
    return writers.str();
}

std::string Banner(const ServeSettings &settings, uint16_t httpPort, const std::map<std::string, uint16_t> &ports,
                   std::optional<uint16_t> modbusPort) {
    const std::string base = (settings.http.tls ? "https://" : "http://") + UrlHost(settings.http.address) + ":" +
                             std::to_string(httpPort);
    std::ostringstream text;
    text << "mavozarp serve: HTTP API on " << base << "/api/v1\n";
    for (const auto &[id, port] : ports)
        text << "mavozarp serve: " << id << " on instrument socket " << UrlHost(settings.instruments.address)
             << ":" << port << '\n';
    if (modbusPort) {
        text << "mavozarp serve: Modbus TCP on " << UrlHost(settings.modbus->address) << ":" << *modbusPort << "; "
             << ModbusWriters(settings.access) << '\n';
    }
    if (settings.mqtt) text << "mavozarp serve: MQTT to " << settings.mqtt->url << " under " << settings.mqtt->prefix << '\n';
    if (settings.audit) text << "mavozarp serve: audit log " << settings.audit->path << '\n';
    if (settings.access.allowControl && !settings.access.token.empty()) {
        // As Jupyter does: the address with the token, once; the fragment never reaches a server log.
        text << "mavozarp serve: control allowed; dashboard: " << base << "/#token=" << settings.access.token
             << '\n';
    } else if (settings.access.allowControl) {
        text << "mavozarp serve: control allowed to the users' tokens; dashboard: " << base << "/\n";
    } else {
        text << "mavozarp serve: read-only (commands that change a setting are refused); dashboard: " << base
             << "/\n";
    }
    return text.str();
}

// Each serial port's supply in a worker of its own, the adapters' supplies together in one;
// returns once each worker has told the devices it found (or has ended, or a bound has passed).
std::vector<std::shared_ptr<WorkerSupervisor>> StartWorkers(EventLoop &loop, DeviceRegistry &registry,
                                                            const RegistryOptions &wanted) {
    // A port's supply, or (no port) the adapters' supplies.
    const auto duty = [&wanted](std::optional<std::string> port) {
        const bool adapters = !port.has_value();
        return WorkerDuty{.port = std::move(port), .adapters = adapters, .rescanInterval = wanted.rescanInterval,
                          .patience = wanted.patience};
    };
    std::vector<std::shared_ptr<WorkerSupervisor>> workers;
    for (size_t i = 0; i < wanted.ports.size(); ++i)
        workers.push_back(WorkerSupervisor::Start(loop, registry, duty(wanted.ports[i]), i));
    if (wanted.adapters) workers.push_back(WorkerSupervisor::Start(loop, registry, duty(std::nullopt), std::nullopt));
    for (const auto &worker : workers) worker->AwaitStart(kLongestWorkerStart);
    return workers;
}

// The HTTP API's TLS context made of the files, its warnings said; null when they cannot serve
// (said why).
std::shared_ptr<TlsContext> LoadTlsFiles(const TlsFiles &files, const std::vector<std::string> &hostNames) {
#if MAVOZARP_SERVICE_TLS
    try {
        LoadedTls loaded = LoadTls(files.certificateChain, files.key, hostNames);
        for (const std::string &warning : loaded.warnings) std::cerr << "mavozarp serve: warning: " << warning << '\n';
        return loaded.context;
    } catch (const std::runtime_error &error) {
        std::cerr << "mavozarp serve: TLS: " << error.what() << '\n';
        return nullptr;
    }
#else
    (void)files;
    (void)hostNames;
    std::cerr << "mavozarp serve: this build has no TLS\n";
    return nullptr;
#endif
}

}  // namespace

int Serve(ServeSettings settings) {
    if (settings.mqtt && !MAVOZARP_SERVICE_MQTT) {
        std::cerr << "mavozarp serve: this build has no MQTT\n";
        return 2;
    }
    if (settings.tls) {
        settings.http.tls = LoadTlsFiles(*settings.tls, settings.access.hostNames);
        if (!settings.http.tls) return 2;
    }
#if defined(SIGPIPE)
    // A client that goes away mid-write must not end the service.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // The library's lines go to the log from here on; the service's own output to the real
    // standard output, never swapped again while other threads run.
    CaptureStandardOutput("mavozarp serve: library: ");
    EventLoop loop;
    StopRequests stopRequests(loop.Context());

    // With workers, this process opens the simulated head only.
    RegistryOptions here = settings.devices;
    if (settings.workers) {
        here.ports.clear();
        here.adapters = false;
    }
    DeviceRegistry registry(loop, here);
    // Before any device opens: a setting is never made that the log could not record. It ends
    // before the registry, whose limits its last steps may still change.
    std::unique_ptr<AuditTrail> audit;
    if (settings.audit) {
        try {
            audit = std::make_unique<AuditTrail>(*settings.audit);
        } catch (const AuditUnavailable &error) {
            std::cerr << "mavozarp serve: --audit-log " << settings.audit->path << ": " << error.what() << '\n';
            return 2;
        }
    }
    registry.Open();
    const std::vector<std::shared_ptr<WorkerSupervisor>> workers =
        settings.workers ? StartWorkers(loop, registry, settings.devices) : std::vector<std::shared_ptr<WorkerSupervisor>>{};
    const auto stopWorkers = [&workers] {
        for (const auto &worker : workers) worker->BeginStop();
        for (const auto &worker : workers) worker->AwaitStop();
    };
    if (registry.List().empty() && !settings.devices.adapters) {
        std::cerr << "mavozarp serve: no device could be opened\n";
        stopWorkers();
        return 1;
    }
    CommandGate gate(loop, settings.access, settings.users, audit.get());
    InstrumentSockets instruments(loop, gate, settings.instruments);
    registry.Watch([&instruments](const std::shared_ptr<ServedDevice> &device, bool arrived) {
        instruments.DeviceChanged(device, arrived);
    });
    std::unique_ptr<ModbusDoor> modbus;
    std::optional<uint16_t> modbusPort;
    if (settings.modbus) {
        ModbusDoorOptions options = *settings.modbus;
        options.configured = ConfiguredIds(settings.devices);
        modbus = std::make_unique<ModbusDoor>(loop, gate, std::move(options));
    }
    settings.http.instrumentPorts = [&instruments] { return instruments.Ports(); };
    settings.http.modbusUnits = [&modbus] { return modbus ? modbus->Units() : std::map<std::string, uint8_t>{}; };
    settings.http.limits.connections = HttpConnectionBounds(settings.http.limits.connections);
    HttpApi http(registry, loop, gate, settings.http);
    try {
        if (modbus) modbusPort = modbus->Listen();
        http.Start();
    } catch (const std::runtime_error &error) {
        std::cerr << "mavozarp serve: " << error.what() << '\n';
        stopWorkers();
        return 1;
    }
    if (modbus) {
        registry.Watch([&modbus](const std::shared_ptr<ServedDevice> &device, bool arrived) {
            modbus->DeviceChanged(device, arrived);
        });
    }
#if MAVOZARP_SERVICE_MQTT
    std::unique_ptr<MqttBridge> mqtt;
    if (settings.mqtt) {
        mqtt = std::make_unique<MqttBridge>(*settings.mqtt, gate);
        registry.Watch([&mqtt](const std::shared_ptr<ServedDevice> &device, bool arrived) {
            mqtt->DeviceChanged(device, arrived);
        });
    }
#endif
    registry.StartRescans();
    WriteToStandardOutput(Banner(settings, http.Port(), instruments.Ports(), modbusPort));

    stopRequests.Wait();
    std::cerr << "mavozarp serve: stopping\n";
    registry.StopRescans();
    registry.RetireAll();  // what waits on a device ends now, not at its patience
    stopWorkers();
    loop.Stop();
    return 0;
}

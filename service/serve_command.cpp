#include "serve_command.h"

#include "device_registry.h"
#include "http_api.h"
#include "instrument_sockets.h"
#include "mqtt_bridge.h"
#include "output.h"

#include <pthread.h>
#include <signal.h>

#include <fstream>
#include <iostream>

namespace {

struct ServeSettings {
    RegistryOptions devices;
    HttpOptions http;
    InstrumentOptions instruments;
    std::string tokenFile;
    std::vector<std::string> hostNames;
};

uint16_t ParsePort(std::string_view option, const std::string &text) {
    const unsigned long port = ParseCount(option, text);
    if (port > 65535) throw UsageError(std::string(option) + " needs a port number up to 65535");
    return static_cast<uint16_t>(port);
}

std::chrono::milliseconds Milliseconds(double seconds) {
    return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

// The configuration file names what the command line can; the command line adds to it (devices,
// host names) or overrides it (everything else).
void ReadConfigFile(const std::string &path, ServeSettings &settings) {
    std::ifstream file(path);
    if (!file) throw UsageError("cannot read the configuration file " + path);
    const Json config = Json::parse(file, nullptr, false);
    if (!config.is_object()) throw UsageError(path + ": not a JSON object");
    const auto wrong = [&](const std::string &key, const char *what) {
        return UsageError(path + ": \"" + key + "\" must be " + what);
    };
    const auto strings = [&](const std::string &key, const Json &value) {
        std::vector<std::string> list;
        if (!value.is_array()) throw wrong(key, "a list of strings");
        for (const Json &item : value) {
            if (!item.is_string()) throw wrong(key, "a list of strings");
            list.push_back(item.get<std::string>());
        }
        return list;
    };
    const auto port = [&](const std::string &key, const Json &value) {
        if (!value.is_number_unsigned() || value.get<uint64_t>() > 65535)
            throw wrong(key, "a port number");
        return value.get<uint16_t>();
    };
    for (const auto &[key, value] : config.items()) {
        if (key == "simulated" || key == "adapters" || key == "allow_control") {
            if (!value.is_boolean()) throw wrong(key, "true or false");
            (key == "simulated"  ? settings.devices.simulated
             : key == "adapters" ? settings.devices.adapters
                                 : settings.http.policy.allowControl) = value.get<bool>();
        } else if (key == "ports") {
            settings.devices.ports = strings(key, value);
        } else if (key == "host_names") {
            settings.hostNames = strings(key, value);
        } else if (key == "rescan_seconds") {
            if (!value.is_number() || value.get<double>() < 0.1) throw wrong(key, "0.1 or more");
            settings.devices.rescanInterval = Milliseconds(value.get<double>());
        } else if (key == "listen" || key == "instrument_address" || key == "token_file") {
            if (!value.is_string()) throw wrong(key, "a string");
            (key == "listen"               ? settings.http.address
             : key == "instrument_address" ? settings.instruments.address
                                           : settings.tokenFile) = value.get<std::string>();
        } else if (key == "http_port") {
            settings.http.port = port(key, value);
        } else if (key == "instrument_port") {
            settings.instruments.firstPort = port(key, value);
        } else {
            throw UsageError(path + ": unknown setting \"" + key + "\"");
        }
    }
}

ServeSettings ReadSettings(const ParsedArguments &arguments) {
    ServeSettings settings;
    if (arguments.Has("--config")) ReadConfigFile(arguments.Value("--config"), settings);
    if (arguments.Has("--simulated")) settings.devices.simulated = true;
    for (const std::string &port : arguments.Values("--port")) settings.devices.ports.push_back(port);
    if (arguments.Has("--adapters")) settings.devices.adapters = true;
    if (arguments.Has("--rescan")) {
        const double seconds = ParseSeconds("--rescan", arguments.Value("--rescan"));
        if (seconds < 0.1) throw UsageError("--rescan needs 0.1 seconds or more");
        settings.devices.rescanInterval = Milliseconds(seconds);
    }
    if (arguments.Has("--listen")) settings.http.address = arguments.Value("--listen");
    if (arguments.Has("--http-port"))
        settings.http.port = ParsePort("--http-port", arguments.Value("--http-port"));
    for (const std::string &name : arguments.Values("--host-name")) settings.hostNames.push_back(name);
    if (arguments.Has("--instrument-address"))
        settings.instruments.address = arguments.Value("--instrument-address");
    if (arguments.Has("--instrument-port"))
        settings.instruments.firstPort = ParsePort("--instrument-port", arguments.Value("--instrument-port"));
    if (arguments.Has("--token-file")) settings.tokenFile = arguments.Value("--token-file");
    if (arguments.Has("--allow-control")) settings.http.policy.allowControl = true;

    if (!settings.devices.simulated && settings.devices.ports.empty() && !settings.devices.adapters)
        throw UsageError("no device to serve: give --simulated, --port PATH or --adapters");

    AccessPolicy &policy = settings.http.policy;
    policy.tokenForReading = !IsLoopback(settings.http.address);
    if (policy.tokenForReading && settings.tokenFile.empty()) {
        throw UsageError("listening on " + settings.http.address +
                         " needs a bearer token: give --token-file");
    }
    if (!settings.tokenFile.empty()) {
        try {
            policy.token = ReadTokenFile(settings.tokenFile);
        } catch (const std::runtime_error &error) {
            throw UsageError(std::string("--token-file: ") + error.what());
        }
    } else if (policy.allowControl) {
        policy.token = MakeToken();
    }
    // The loopback names are always ours; any other name only when configured, so that a page
    // whose name was made to resolve to this machine is refused.
    policy.hostNames = {"localhost", "127.0.0.1", "::1"};
    if (!IsLoopback(settings.http.address)) policy.hostNames.push_back(settings.http.address);
    for (const std::string &name : settings.hostNames) policy.hostNames.push_back(name);
    settings.instruments.policy = policy;
    return settings;
}

std::string UrlHost(const std::string &address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

}  // namespace

int RunServe(const ParsedArguments &arguments) {
    ServeSettings settings = ReadSettings(arguments);
    const std::optional<MqttOptions> mqttOptions =
        ReadMqttOptions(arguments, settings.http.policy.allowControl);

    // SIGINT and SIGTERM are taken by this thread alone (sigwait), never by a worker.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that goes away mid-write must not end the service.
    signal(SIGPIPE, SIG_IGN);

    DeviceRegistry registry(settings.devices);
    if (registry.Open() == 0 && !settings.devices.adapters) {
        std::cerr << "mavozarp serve: no device could be opened\n";
        return 1;
    }
    InstrumentSockets instruments(settings.instruments);
    registry.Watch([&instruments](const std::shared_ptr<ServedDevice> &device, bool arrived) {
        instruments.DeviceChanged(device, arrived);
    });
    settings.http.instrumentPorts = [&instruments] { return instruments.Ports(); };
    HttpApi http(registry, settings.http);
    try {
        http.Start();
    } catch (const std::runtime_error &error) {
        std::cerr << "mavozarp serve: " << error.what() << '\n';
        return 1;
    }
    std::unique_ptr<MqttBridge> mqtt;
    if (mqttOptions) {
        mqtt = std::make_unique<MqttBridge>(*mqttOptions);
        registry.Watch([&mqtt](const std::shared_ptr<ServedDevice> &device, bool arrived) {
            mqtt->DeviceChanged(device, arrived);
        });
    }
    registry.StartRescans();

    const std::string base = "http://" + UrlHost(settings.http.address) + ":" + std::to_string(http.Port());
    std::cout << "mavozarp serve: HTTP API on " << base << "/api/v1\n";
    for (const auto &[id, port] : instruments.Ports())
        std::cout << "mavozarp serve: " << id << " on instrument socket "
                  << UrlHost(settings.instruments.address) << ":" << port << '\n';
    if (mqttOptions) {
        std::cout << "mavozarp serve: MQTT to " << arguments.Value("--mqtt") << " under "
                  << mqttOptions->prefix << '\n';
    }
    if (settings.http.policy.allowControl) {
        // As Jupyter does: the address with the token, once; the fragment never reaches a server log.
        std::cout << "mavozarp serve: control allowed; dashboard: " << base << "/#token="
                  << settings.http.policy.token << '\n';
    } else {
        std::cout << "mavozarp serve: read-only (commands that change a setting are refused)\n";
    }
    std::cout << std::flush;

    int received = 0;
    sigwait(&stopSignals, &received);
    std::cerr << "mavozarp serve: stopping\n";
    registry.StopRescans();
    return 0;
}

#include "serve.h"

#include "http_api.h"
#include "instrument_sockets.h"

#include <pthread.h>
#include <signal.h>

#include <iostream>

namespace {

std::string UrlHost(const std::string &address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

}  // namespace

int Serve(ServeSettings settings) {
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
    if (settings.mqtt) {
        mqtt = std::make_unique<MqttBridge>(*settings.mqtt);
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
    if (settings.mqtt) {
        std::cout << "mavozarp serve: MQTT to " << settings.mqtt->url << " under "
                  << settings.mqtt->prefix << '\n';
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

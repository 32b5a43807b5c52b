// The service in this process with adapter supplies of the emulated adapter library, whose log
// counts every bus transfer: however many event streams watch a supply, the bus sees one poll per
// interval; a supply unplugged ends its streams with an error event and is listed as gone.
#include "device_registry.h"
#include "http_api.h"
#include "instrument_sockets.h"

#include "support/emulated_adapter_controls.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// A socket connected to the port on 127.0.0.1, whose reads give up after 10 s.
int ConnectToLoopback(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval bound{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    return fd;
}

// A client of one event stream, reading event names as they come.
class StreamClient {
public:
    StreamClient(uint16_t port, const std::string &path) : fd_(ConnectToLoopback(port)) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                    std::to_string(port) + "\r\nConnection: close\r\n\r\n";
        EXPECT_EQ(send(fd_, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    }
    ~StreamClient() { close(fd_); }

    // The name of the next event ("sample", "error"), or "" when the stream ended.
    std::string NextEvent() {
        for (;;) {
            const size_t at = buffered_.find("event: ");
            const size_t end = at == std::string::npos ? at : buffered_.find('\n', at);
            if (end != std::string::npos) {
                std::string name = buffered_.substr(at + 7, end - at - 7);
                buffered_.erase(0, end);
                return name;
            }
            char chunk[4096];
            const ssize_t received = recv(fd_, chunk, sizeof chunk, 0);
            if (received <= 0) return "";
            buffered_.append(chunk, static_cast<size_t>(received));
        }
    }

private:
    int fd_;
    std::string buffered_;
};

// A client of an instrument socket, reading reply lines.
class LineClient {
public:
    explicit LineClient(uint16_t port) : fd_(ConnectToLoopback(port)) {}
    ~LineClient() { close(fd_); }
    void Send(const std::string &text) { EXPECT_EQ(send(fd_, text.data(), text.size(), 0), static_cast<ssize_t>(text.size())); }

    // The next line without its end, or "" when the connection ended.
    std::string NextLine() {
        std::string line;
        char c = 0;
        while (recv(fd_, &c, 1, 0) == 1 && c != '\n') line += c;
        return line;
    }

private:
    int fd_;
};

AccessPolicy ReadOnlyOnLoopback() {
    AccessPolicy policy;
    policy.hostNames = {"127.0.0.1"};
    return policy;
}

struct ServiceInProcess {
    explicit ServiceInProcess(RegistryOptions options) : registry(loop, options), gate(loop, ReadOnlyOnLoopback()) {
        registry.Open();
        HttpOptions http;
        http.port = 0;
        api = std::make_unique<HttpApi>(registry, loop, gate, http);
        api->Start();
        InstrumentOptions instruments;
        instruments.firstPort = 0;
        sockets = std::make_unique<InstrumentSockets>(loop, gate, instruments);
        registry.Watch([this](const std::shared_ptr<ServedDevice> &device, bool arrived) {
            sockets->DeviceChanged(device, arrived);
        });
    }
    EventLoop loop;
    DeviceRegistry registry;
    CommandGate gate;
    std::unique_ptr<InstrumentSockets> sockets;
    std::unique_ptr<HttpApi> api;
};

size_t TransfersSoFar() { return emulated_adapter::Transfers().size(); }

// Bus transfers per interval while `streams` streams (one of them the probe) watch the supply.
double TransfersPerInterval(ServiceInProcess &service, const std::string &id, size_t streams) {
    const std::string path = "/api/v1/devices/" + id + "/stream?commands=%3FP,%3FTBRF&interval=0.2";
    std::vector<std::unique_ptr<StreamClient>> watchers;
    for (size_t i = 0; i < streams; ++i)
        watchers.push_back(std::make_unique<StreamClient>(service.api->Port(), path));
    StreamClient &probe = *watchers.back();
    for (int i = 0; i < 2; ++i) EXPECT_EQ(probe.NextEvent(), "sample");
    const size_t before = TransfersSoFar();
    constexpr int kIntervals = 5;
    for (int i = 0; i < kIntervals; ++i) EXPECT_EQ(probe.NextEvent(), "sample");
    return static_cast<double>(TransfersSoFar() - before) / kIntervals;
}

TEST(FanOut, FiftyStreamsCostTheBusWhatOneDoes) {
    emulated_adapter::Reset();
    emulated_adapter::PlugSupply("picox-640");
    RegistryOptions options;
    options.adapters = true;
    ServiceInProcess service(options);
    ASSERT_EQ(service.registry.List().size(), 1u);
    const std::string id = service.registry.List().front()->Id();

    const double one = TransfersPerInterval(service, id, 1);
    EXPECT_GT(one, 0);
    EXPECT_EQ(TransfersPerInterval(service, id, 51), one);
}

TEST(FanOut, AnUnpluggedSupplyEndsItsStreamsAndIsListedAsGone) {
    emulated_adapter::Reset();
    emulated_adapter::PlugSupply("picox-640");
    const uint32_t leaving = emulated_adapter::PlugSupply("kora-band1");
    RegistryOptions options;
    options.adapters = true;
    options.rescanInterval = std::chrono::milliseconds(100);
    ServiceInProcess service(options);
    service.registry.StartRescans();
    ASSERT_EQ(service.registry.List().size(), 2u);
    const std::string id = service.registry.List().back()->Id();

    StreamClient stream(service.api->Port(), "/api/v1/devices/" + id + "/stream?commands=%3FP&interval=0.1");
    EXPECT_EQ(stream.NextEvent(), "sample");
    LineClient instrument(service.sockets->Ports().at(id));
    instrument.Send("?P\n");
    EXPECT_NE(instrument.NextLine(), "");
    emulated_adapter::SetPlugged(leaving, false);
    std::string event;
    do event = stream.NextEvent();
    while (event == "sample");
    EXPECT_EQ(event, "error");
    while (!event.empty()) event = stream.NextEvent();  // the stream ends
    ASSERT_NE(service.registry.Find(id), nullptr);
    EXPECT_STREQ(service.registry.Find(id)->State(), "gone");
    EXPECT_EQ(service.registry.List().size(), 1u);
    EXPECT_EQ(service.registry.ListWithGone().size(), 2u);
    // Its instrument connection is told once, then closed.
    EXPECT_EQ(instrument.NextLine(), "ERR 409 gone: the device left");
    EXPECT_EQ(instrument.NextLine(), "");

    // Plugged in again, it comes back under the same id, and only once.
    emulated_adapter::SetPlugged(leaving, true);
    for (int i = 0; i < 100 && service.registry.List().size() < 2; ++i) usleep(50'000);
    EXPECT_STRNE(service.registry.Find(id)->State(), "gone");
    EXPECT_EQ(service.registry.ListWithGone().size(), 2u);
    service.registry.StopRescans();
}

}  // namespace

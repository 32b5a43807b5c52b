#include "http_api.h"

#include "dashboard.h"
#include "metrics.h"
#include "client/status_codes.h"
#include "stream_events.h"

#include <algorithm>
#include <httplib.h>

#include <sys/socket.h>

#include <atomic>
#include <deque>
#include <iostream>

namespace {

constexpr char kJson[] = "application/json";
constexpr char kApi[] = "/api/v1";

// Set on the threads that only turn connections away (the workers are all busy).
thread_local bool turningAway = false;

// The workers serve connections; one more beyond them gets a 503 from a thread kept for that, so
// an overload is told, not queued without end.
class BoundedWorkers : public httplib::TaskQueue {
public:
    explicit BoundedWorkers(size_t workers) : workers_(workers), limit_(workers), turnAway_(1) {}

    void enqueue(std::function<void()> connection) override {
        if (busy_.fetch_add(1) >= limit_) {
            --busy_;
            turnAway_.enqueue([connection = std::move(connection)] {
                turningAway = true;
                connection();
                turningAway = false;
            });
            return;
        }
        workers_.enqueue([this, connection = std::move(connection)] {
            connection();
            --busy_;
        });
    }
    void shutdown() override {
        workers_.shutdown();
        turnAway_.shutdown();
    }

private:
    httplib::ThreadPool workers_;
    size_t limit_;
    std::atomic<size_t> busy_{0};
    httplib::ThreadPool turnAway_;
};

void Answer(httplib::Response &response, int status, const Json &document) {
    response.status = status;
    response.set_content(document.dump(2) + "\n", kJson);
}

void Refuse(httplib::Response &response, const Refusal &refusal) {
    Answer(response, refusal.status, Json{{"error", refusal.error}, {"message", refusal.message}});
}

// "host:port", "[::1]:port" or "host" without the port.
std::string HostName(const std::string &host) {
    if (host.starts_with('[')) {
        const size_t end = host.find(']');
        return end == std::string::npos ? host : host.substr(1, end - 1);
    }
    const size_t colon = host.find(':');
    return colon == std::string::npos ? host : host.substr(0, colon);
}

// The port of a Host header, or the default port of HTTP.
std::string HostPort(const std::string &host) {
    const size_t bracket = host.find(']');
    const size_t colon = host.find(':', bracket == std::string::npos ? 0 : bracket);
    return colon == std::string::npos ? "80" : host.substr(colon + 1);
}

std::optional<std::string> BearerToken(const httplib::Request &request) {
    const std::string header = request.get_header_value("Authorization");
    constexpr std::string_view kScheme = "Bearer ";
    if (!header.starts_with(kScheme)) return std::nullopt;
    return header.substr(kScheme.size());
}

// The ASCII lower case of a header value, for comparing media types.
std::string Lower(std::string text) {
    for (char &c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

Json DeviceSummary(ServedDevice &device, const std::map<std::string, uint16_t> &ports) {
    Json summary = Json::object();
    summary["id"] = device.Id();
    summary["transport"] = device.Identity().transport;
    summary["selector"] = JsonText(device.Identity().selector);
    summary["head_type"] = JsonText(device.Identity().headType);
    summary["state"] = device.State();
    const auto port = ports.find(device.Id());
    summary["instrument_port"] = port != ports.end() ? Json(port->second) : Json(nullptr);
    return summary;
}

}  // namespace

struct HttpApi::Impl {
    DeviceRegistry &registry;
    HttpOptions options;
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<size_t> streams{0};
    const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

    Impl(DeviceRegistry &registry, HttpOptions options)
        : registry(registry), options(std::move(options)) {}

    // ---- checks every request passes before anything runs ------------------------------------

    std::optional<Refusal> Screen(const httplib::Request &request, uint16_t port) const {
        if (turningAway) return Refusal{503, "busy", "every worker of the service is busy"};
        const std::string host = request.get_header_value("Host");
        const std::string name = HostName(host);
        const bool knownName = std::find(options.policy.hostNames.begin(),
                                         options.policy.hostNames.end(),
                                         name) != options.policy.hostNames.end();
        if (host.empty() || !knownName || HostPort(host) != std::to_string(port)) {
            return Refusal{403, "foreign-host",
                           "the Host header does not name this service"};
        }
        if (options.policy.tokenForReading && !IsDashboardFile(request.path)) {
            const std::optional<std::string> token = BearerToken(request);
            if (!token) return Refusal{401, "token-required", "every request needs the token"};
            if (!SameSecret(*token, options.policy.token))
                return Refusal{401, "wrong-token", "the token is wrong"};
        }
        // What a browser may send cross-site without asking first must carry our own origin.
        const bool changesOrStreams =
            request.method != "GET" && request.method != "HEAD" ? true
                                                                : request.path.ends_with("/stream");
        if (changesOrStreams && request.has_header("Origin") &&
            request.get_header_value("Origin") != "http://" + host) {
            return Refusal{403, "foreign-origin",
                           "requests from other origins may not change anything or stream"};
        }
        return std::nullopt;
    }

    std::shared_ptr<ServedDevice> DeviceOf(const httplib::Request &request,
                                           httplib::Response &response) const {
        const std::string id = request.matches[1];
        std::shared_ptr<ServedDevice> device = registry.Find(id);
        if (device == nullptr) {
            Refuse(response, {404, "unknown-device", "no device " + Json(id).dump() + " is served"});
        }
        return device;
    }

    std::map<std::string, uint16_t> InstrumentPorts() const {
        return options.instrumentPorts ? options.instrumentPorts() : std::map<std::string, uint16_t>{};
    }

    // ---- routes -------------------------------------------------------------------------------

    void Health(httplib::Response &response) const {
        const auto uptime = std::chrono::steady_clock::now() - started;
        Answer(response, 200,
               Json{{"status", "ok"},
                    {"devices", registry.List().size()},
                    {"uptime_seconds", std::chrono::duration<double>(uptime).count()}});
    }

    void Devices(httplib::Response &response) const {
        Json list = Json::array();
        const auto ports = InstrumentPorts();
        for (const auto &device : registry.List()) list.push_back(DeviceSummary(*device, ports));
        Answer(response, 200, Json{{"devices", std::move(list)}});
    }

    void OneDevice(const httplib::Request &request, httplib::Response &response) const {
        if (const auto device = DeviceOf(request, response))
            Answer(response, 200, DeviceSummary(*device, InstrumentPorts()));
    }

    void Status(const httplib::Request &request, httplib::Response &response) const {
        const auto device = DeviceOf(request, response);
        if (device == nullptr) return;
        Guarded(response, [&] {
            const auto snapshot = device->Hub().Status(options.statusMaxAge);
            response.set_header("Date-Sampled", FormatTime(snapshot->time));
            Answer(response, 200, StatusDocument(device->Identity(), snapshot->panel));
        });
    }

    void Commands(const httplib::Request &request, httplib::Response &response) const {
        const auto device = DeviceOf(request, response);
        if (device == nullptr) return;
        const std::string type = Lower(request.get_header_value("Content-Type"));
        if (type != kJson && !type.starts_with(std::string(kJson) + ";")) {
            return Refuse(response, {415, "not-json", "commands are taken as application/json only"});
        }
        const Json body = Json::parse(request.body, nullptr, false);
        std::vector<std::string> commands;
        if (const std::optional<Refusal> problem = ReadCommands(body, commands))
            return Refuse(response, *problem);
        const bool setting = std::any_of(commands.begin(), commands.end(), ChangesSetting);
        if (setting) {
            const std::optional<std::string> token = BearerToken(request);
            if (const auto refusal = CheckControl(options.policy, token.has_value(), token.value_or("")))
                return Refuse(response, *refusal);
        }
        Guarded(response, [&] {
            const Batch batch = SendBatch(
                [&](std::string_view command) { return device->Executor().Send(command); },
                commands);
            Answer(response, 200, BatchDocument(device->Identity(), batch));
        });
    }

    std::optional<Refusal> ReadCommands(const Json &body, std::vector<std::string> &commands) const {
        if (body.is_discarded()) return Refusal{400, "bad-json", "the body is not valid JSON"};
        if (!body.is_object() || !body.contains("commands"))
            return Refusal{400, "bad-request", "the body must be an object with \"commands\""};
        for (const auto &[key, value] : body.items()) {
            if (key != "commands") return Refusal{400, "bad-request", "unknown field \"" + key + "\""};
        }
        const Json &list = body["commands"];
        if (!list.is_array() || list.empty() || list.size() > options.maxCommands) {
            return Refusal{400, "bad-request",
                           "\"commands\" must be a list of 1 to " +
                               std::to_string(options.maxCommands) + " strings"};
        }
        for (const Json &command : list) {
            if (!command.is_string()) return Refusal{400, "bad-request", "every command must be a string"};
            const std::string text = command.get<std::string>();
            if (const std::string problem = CommandProblem(text); !problem.empty())
                return Refusal{400, "bad-command", problem};
            commands.push_back(text);
        }
        return std::nullopt;
    }

    void Stream(const httplib::Request &request, httplib::Response &response) {
        const auto device = DeviceOf(request, response);
        if (device == nullptr) return;
        StreamRequest wanted;
        if (const std::optional<Refusal> problem =
                ReadStreamRequest(request.get_param_value("commands"),
                                  request.get_param_value("interval"), wanted))
            return Refuse(response, *problem);
        if (++streams > options.maxStreams) {
            --streams;
            return Refuse(response, {503, "busy", "too many event streams are open"});
        }
        // The subscription ends before the device it watches can go (members end in reverse).
        struct Watch {
            std::shared_ptr<ServedDevice> device;
            std::shared_ptr<EventQueue> events = std::make_shared<EventQueue>();
            std::unique_ptr<SamplerHub::Subscription> subscription;
        };
        auto watch = std::make_shared<Watch>();
        watch->device = device;
        watch->subscription = device->Hub().Subscribe(
            wanted.commands, wanted.interval,
            [events = watch->events, id = device->Id()](const Sample &sample) {
                events->Push(SampleEvent(id, sample));
            });
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, watch](size_t, httplib::DataSink &sink) {
                std::string event;
                if (!watch->events->Pop(event, std::chrono::seconds(1)))
                    event = watch->events->KeepAlive();
                if (!event.empty() && !sink.write(event.data(), event.size())) return false;
                if (watch->device->Executor().Retired()) {
                    // A device that left ends its streams after telling them; an EventSource then
                    // reconnects and finds the device again once it is back.
                    const std::string last = SampleEvent(
                        watch->device->Id(), {std::chrono::system_clock::now(), {}, "the device left"});
                    sink.write(last.data(), last.size());
                    sink.done();
                } else if (stopping) {
                    sink.done();
                }
                return true;
            },
            [this, watch](bool) {
                watch->subscription.reset();
                --streams;
            });
    }

    void Metrics(httplib::Response &response) const {
        response.set_content(MetricsText(registry, options.statusMaxAge),
                             "text/plain; version=0.0.4; charset=utf-8");
    }

    // Runs a route's work on a device; a device that is busy or gone is told as such.
    template <typename Work>
    void Guarded(httplib::Response &response, Work work) const {
        try {
            work();
        } catch (const DeviceBusy &busy) {
            Refuse(response, {503, "busy", busy.what()});
        } catch (const DeviceGone &gone) {
            Refuse(response, {409, "gone", gone.what()});
        }
    }
};

HttpApi::HttpApi(DeviceRegistry &registry, HttpOptions options)
    : impl_(std::make_unique<Impl>(registry, std::move(options))) {}

HttpApi::~HttpApi() {
    impl_->stopping = true;
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

void HttpApi::Start() {
    Impl &impl = *impl_;
    httplib::Server &server = impl.server;
    const size_t workers = impl.options.workers;
    server.new_task_queue = [workers] { return new BoundedWorkers(workers); };
    server.set_payload_max_length(impl.options.maxBody);
    // Small replies go out at once instead of waiting for the client's delayed acknowledgement.
    server.set_tcp_nodelay(true);
    // Between requests a keep-alive connection waits at most a couple of seconds: the server
    // notices a stop only when that wait ends, so a browser's idle connection would otherwise hold
    // the service's exit for the whole idle time. A client that stalls inside a request is still
    // given the idle time.
    server.set_keep_alive_timeout(std::min<time_t>(impl.options.idle.count(), 2));
    // A keep-alive connection is bounded by its idle time, not by a small count of requests.
    server.set_keep_alive_max_count(100000);
    server.set_read_timeout(impl.options.idle);
    server.set_write_timeout(impl.options.idle);
    server.set_pre_routing_handler([this](const httplib::Request &request, httplib::Response &response) {
        if (const std::optional<Refusal> refusal = impl_->Screen(request, port_)) {
            Refuse(response, *refusal);
            if (turningAway) response.set_header("Connection", "close");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_error_handler([](const httplib::Request &, httplib::Response &response) {
        if (!response.body.empty()) return;
        static const std::map<int, Refusal> kGeneric = {
            {400, {400, "bad-request", "the request could not be read"}},
            {404, {404, "not-found", "no such route"}},
            {413, {413, "too-large", "the request body is too large"}},
        };
        const auto found = kGeneric.find(response.status);
        Refuse(response, found != kGeneric.end()
                             ? found->second
                             : Refusal{response.status, "error", "the request failed"});
    });

    const std::string devices = std::string(kApi) + "/devices";
    server.Get(std::string(kApi) + "/health",
               [&impl](const httplib::Request &, httplib::Response &response) { impl.Health(response); });
    server.Get(devices, [&impl](const httplib::Request &, httplib::Response &response) {
        impl.Devices(response);
    });
    // Ids may hold slashes (serial port paths): the longer routes are matched first.
    server.Get(devices + "/(.+)/status", [&impl](const httplib::Request &request, httplib::Response &response) {
        impl.Status(request, response);
    });
    server.Get(devices + "/(.+)/stream", [&impl](const httplib::Request &request, httplib::Response &response) {
        impl.Stream(request, response);
    });
    server.Post(devices + "/(.+)/commands", [&impl](const httplib::Request &request, httplib::Response &response) {
        impl.Commands(request, response);
    });
    server.Get(devices + "/(.+)", [&impl](const httplib::Request &request, httplib::Response &response) {
        impl.OneDevice(request, response);
    });
    ServeDashboard(server, impl.options.policy);
    server.Get("/metrics", [&impl](const httplib::Request &, httplib::Response &response) {
        impl.Metrics(response);
    });

    // The server library listens with a backlog of 5, which a burst of clients overflows: the
    // socket is kept here so that its backlog can be raised once bound.
    int listening = -1;
    server.set_socket_options([&listening](int fd) {
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listening = fd;
    });
    const int bound = impl.options.port == 0
                          ? server.bind_to_any_port(impl.options.address)
                          : (server.bind_to_port(impl.options.address, impl.options.port)
                                 ? impl.options.port
                                 : -1);
    if (bound <= 0) {
        throw std::runtime_error("cannot listen on " + impl.options.address + " port " +
                                 std::to_string(impl.options.port));
    }
    port_ = static_cast<uint16_t>(bound);
    listen(listening, SOMAXCONN);
    impl.thread = std::thread([&server] { server.listen_after_bind(); });
}

#include "http_api.h"

#include "dashboard.h"
#include "http_admin_routes.h"
#include "metrics.h"
#include "client/status_codes.h"
#include "stream_events.h"

#include <algorithm>
#include <atomic>

namespace {

constexpr char kJson[] = "application/json";
constexpr std::string_view kDevices = "/api/v1/devices/";

HttpResponse Answer(int status, const Json &document) {
    return BodyResponse(status, kJson, document.dump(2) + "\n");
}

HttpResponse Refuse(const Refusal &refusal) {
    return ErrorResponse(refusal.status, refusal.error, refusal.message);
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

// The port of a Host header, or the default port of the scheme.
std::string HostPort(const std::string &host, bool tls) {
    const size_t bracket = host.find(']');
    const size_t colon = host.find(':', bracket == std::string::npos ? 0 : bracket);
    if (colon != std::string::npos) return host.substr(colon + 1);
    return tls ? "443" : "80";
}

std::optional<std::string> BearerToken(const HttpRequest &request) {
    const std::string header = request.Header("Authorization");
    constexpr std::string_view kScheme = "Bearer ";
    if (!header.starts_with(kScheme)) return std::nullopt;
    return header.substr(kScheme.size());
}

// Where a device is served besides the API: its instrument socket and its Modbus unit, by id.
struct OtherDoors {
    std::map<std::string, uint16_t> ports;
    std::map<std::string, uint8_t> units;
};

template <typename Number>
Json NumberOrNull(const std::map<std::string, Number> &numbers, const std::string &id) {
    const auto found = numbers.find(id);
    return found != numbers.end() ? Json(found->second) : Json(nullptr);
}

Json DeviceSummary(ServedDevice &device, const OtherDoors &doors) {
    Json summary = Json::object();
    summary["id"] = device.Id();
    summary["transport"] = device.Identity().transport;
    summary["selector"] = JsonText(device.Identity().selector);
    summary["head_type"] = JsonText(device.Identity().headType);
    summary["state"] = device.State();
    const std::string reason = device.Reason();
    summary["reason"] = reason.empty() ? Json(nullptr) : Json(reason);
    summary["instrument_port"] = NumberOrNull(doors.ports, device.Id());
    summary["modbus_unit"] = NumberOrNull(doors.units, device.Id());
    const std::optional<DeviceWorker> worker = device.Worker();
    summary["worker"] = worker ? Json{{"pid", worker->pid == 0 ? Json(nullptr) : Json(worker->pid)},
                                      {"restarts", worker->restarts}}
                               : Json(nullptr);
    summary.update(LimitsDocument(device));
    return summary;
}

// A batch that did not run, as the API tells it.
HttpResponse NotRun(const BatchResult &result) {
    return result.outcome == BatchOutcome::Gone ? Refuse({409, "gone", result.why})
                                                : Refuse({503, "busy", result.why});
}

// What of a device a route under /api/v1/devices/ID/... names, and the method it takes.
struct DevicePart {
    std::string_view name;  // "": the device's document
    std::string_view method;
};

constexpr DevicePart kDeviceParts[] = {
    {.name = "status", .method = "GET"},     {.name = "stream", .method = "GET"},
    {.name = "commands", .method = "POST"},  {.name = "limits", .method = "PUT"},
    {.name = "", .method = "GET"},
};

// The id (which may hold slashes: port paths) and what of it.
struct DeviceRoute {
    std::string id;
    const DevicePart *part;
};

std::optional<DeviceRoute> DeviceRouteOf(const std::string &path) {
    if (!path.starts_with(kDevices) || path.size() == kDevices.size()) return std::nullopt;
    const std::string rest = path.substr(kDevices.size());
    for (const DevicePart &part : kDeviceParts) {
        const std::string suffix = "/" + std::string(part.name);
        if (part.name.empty()) return DeviceRoute{rest, &part};
        if (rest.size() > suffix.size() && rest.ends_with(suffix))
            return DeviceRoute{rest.substr(0, rest.size() - suffix.size()), &part};
    }
    return std::nullopt;
}

// The request's bearer token at the HTTP API, or the dashboard's when the request carries this
// service's own Origin (Screen refuses any other).
Caller CallerOf(const HttpRequest &request) {
    return {.door = request.HasHeader("Origin") ? Door::Dashboard : Door::Http,
            .address = request.client,
            .token = BearerToken(request)};
}

}  // namespace

struct HttpApi::Impl {
    DeviceRegistry &registry;
    EventLoop &loop;
    CommandGate &gate;
    const AccessPolicy &policy;
    HttpOptions options;
    std::unique_ptr<HttpServer> server;
    // Shared with the streams, which may end after this does.
    std::shared_ptr<std::atomic<size_t>> streams = std::make_shared<std::atomic<size_t>>(0);
    const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

    Impl(DeviceRegistry &registry, EventLoop &loop, CommandGate &gate, HttpOptions options)
        : registry(registry), loop(loop), gate(gate), policy(gate.Policy()), options(std::move(options)) {}

    // ---- checks every request passes before anything runs ------------------------------------

    std::optional<Refusal> Screen(const HttpRequest &request, uint16_t port) const {
        const std::string host = request.Header("Host");
        const std::string name = HostName(host);
        const bool knownName = std::find(policy.hostNames.begin(),
                                         policy.hostNames.end(),
                                         name) != policy.hostNames.end();
        const bool tls = options.tls != nullptr;
        if (host.empty() || !knownName || HostPort(host, tls) != std::to_string(port)) {
            return Refusal{403, "foreign-host",
                           "the Host header does not name this service"};
        }
        if (policy.tokenForReading && !IsDashboardFile(request.path)) {
            const std::optional<std::string> token = BearerToken(request);
            if (!token) return Refusal{401, "token-required", "every request needs the token"};
            if (!gate.UserOf(*token)) return Refusal{401, "wrong-token", "the token is wrong"};
        }
        // What a browser may send cross-site without asking first must carry our own origin.
        const bool changesOrStreams =
            request.method != "GET" && request.method != "HEAD" ? true
                                                                : request.path.ends_with("/stream");
        if (changesOrStreams && request.HasHeader("Origin") &&
            request.Header("Origin") != (tls ? "https://" : "http://") + host) {
            return Refusal{403, "foreign-origin",
                           "requests from other origins may not change anything or stream"};
        }
        return std::nullopt;
    }

    OtherDoors OtherDoorsOfDevices() const {
        return {.ports = options.instrumentPorts ? options.instrumentPorts() : std::map<std::string, uint16_t>{},
                .units = options.modbusUnits ? options.modbusUnits() : std::map<std::string, uint8_t>{}};
    }

    // ---- routing --------------------------------------------------------------------------------

    // Answers on the loop; what needs a device is submitted to it and answered when it is done.
    void Route(const HttpRequest &request, uint16_t port, const HttpServer::Reply &reply) {
        if (const std::optional<Refusal> refusal = Screen(request, port)) {
            // A token no user has is told to the audit log before it is answered.
            if (refusal->error != "wrong-token") return reply(Refuse(*refusal));
            return gate.RecordRefusal(CallerOf(request), request.method + " " + request.path, *refusal,
                                      [reply, refusal = *refusal] { reply(Refuse(refusal)); });
        }
        const bool reading = request.method == "GET" || request.method == "HEAD";
        if (reading && request.path == "/api/v1/health") return reply(Health());
        if (reading && request.path == "/api/v1/devices") return reply(Devices());
        if (reading && request.path == "/api/v1/access") return Access(request, reply);
        if (reading && request.path == "/api/v1/audit") return AuditRoute(gate, request, CallerOf(request), reply);
        if (reading && request.path == "/metrics") return Metrics(reply);
        if (reading) {
            if (auto dashboard = DashboardResponse(request.path)) return reply(std::move(*dashboard));
        }
        const std::optional<DeviceRoute> route = DeviceRouteOf(request.path);
        const bool takesMethod =
            route && (request.method == route->part->method || (reading && route->part->method == "GET"));
        if (!takesMethod) return reply(ErrorResponse(404, "not-found", "no such route"));
        const std::shared_ptr<ServedDevice> device = registry.Find(route->id);
        if (device == nullptr)
            return reply(Refuse({404, "unknown-device", "no device " + Json(route->id).dump() + " is served"}));
        const std::string_view part = route->part->name;
        if (part == "") return reply(Answer(200, DeviceSummary(*device, OtherDoorsOfDevices())));
        if (part == "stream") return reply(Stream(request, device));
        if (part == "status") return Status(device, reply);
        if (part == "limits") return ChangeLimitsRoute(gate, registry, request, CallerOf(request), device, reply);
        std::vector<std::string> commands;
        if (const std::optional<Refusal> problem = ReadCommands(request, commands)) return reply(Refuse(*problem));
        Commands(request, device, std::move(commands), reply);
    }

    // What the dashboard may offer, and who the token presented is (a token no user has is
    // audited, and answered as no user).
    void Access(const HttpRequest &request, const HttpServer::Reply &reply) const {
        const std::optional<std::string> token = BearerToken(request);
        const std::optional<User> user = token ? gate.UserOf(*token) : std::nullopt;
        const bool audited = gate.Audited();
        if (!token || user) return reply(AccessResponse(policy, user, audited));
        gate.RecordRefusal(CallerOf(request), "GET /api/v1/access", {401, "wrong-token", "the token is wrong"},
                           [this, reply, audited] { reply(AccessResponse(policy, std::nullopt, audited)); });
    }

    // ---- routes -------------------------------------------------------------------------------

    HttpResponse Health() const {
        const auto uptime = std::chrono::steady_clock::now() - started;
        return Answer(200, Json{{"status", "ok"},
                                {"devices", registry.List().size()},
                                {"uptime_seconds", std::chrono::duration<double>(uptime).count()}});
    }

    HttpResponse Devices() const {
        Json list = Json::array();
        const OtherDoors doors = OtherDoorsOfDevices();
        for (const auto &device : registry.ListWithGone()) list.push_back(DeviceSummary(*device, doors));
        return Answer(200, Json{{"devices", std::move(list)}});
    }

    void Status(const std::shared_ptr<ServedDevice> &device, const HttpServer::Reply &reply) const {
        device->Status(options.statusMaxAge, [device, reply](PanelRead read) {
            if (read.outcome != BatchOutcome::Ran) return reply(NotRun({read.outcome, read.why, {}}));
            HttpResponse response = Answer(200, StatusDocument(device->Identity(), read.snapshot->panel));
            response.headers.emplace_back("Date-Sampled", FormatTime(read.snapshot->time));
            reply(std::move(response));
        });
    }

    // The body's commands, each one checked before any is submitted.
    std::optional<Refusal> ReadCommands(const HttpRequest &request, std::vector<std::string> &commands) const {
        if (std::optional<Refusal> refusal = JsonBodyRefusal(request)) return refusal;
        return ReadCommandList(Json::parse(request.body, nullptr, false), commands);
    }

    // Through the gate.
    void Commands(const HttpRequest &request, const std::shared_ptr<ServedDevice> &device,
                  std::vector<std::string> commands, const HttpServer::Reply &reply) const {
        CommandBatch batch{commands, BatchMode::UntilFailure};
        gate.Submit(CallerOf(request), device, std::move(batch),
                    [device, commands = std::move(commands), reply](GateAnswer answer) {
                        if (answer.refusal) return reply(Refuse(*answer.refusal));
                        if (answer.result.outcome != BatchOutcome::Ran) return reply(NotRun(answer.result));
                        reply(Answer(200, BatchDocument(device->Identity(), BatchOf(commands, answer.result.exchanges))));
                    });
    }

    std::optional<Refusal> ReadCommandList(const Json &body, std::vector<std::string> &commands) const {
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

    HttpResponse Stream(const HttpRequest &request, const std::shared_ptr<ServedDevice> &device) {
        StreamRequest wanted;
        if (const std::optional<Refusal> problem =
                ReadStreamRequest(request.Param("commands"), request.Param("interval"), wanted))
            return Refuse(*problem);
        if (++*streams > options.maxStreams) {
            --*streams;
            return Refuse({503, "busy", "too many event streams are open"});
        }
        // The subscription ends before the stream's count does.
        struct Watch {
            std::shared_ptr<std::atomic<size_t>> streams;
            std::unique_ptr<SamplerHub::Subscription> subscription;
            ~Watch() {
                subscription.reset();
                --*streams;
            }
        };
        auto events = std::make_shared<EventQueue>();
        auto watch = std::make_shared<Watch>();
        watch->streams = streams;
        watch->subscription = device->Hub().Subscribe(
            wanted.commands, wanted.interval, [events, id = device->Id()](const Sample &sample) {
                events->Push(SampleEvent(id, sample));
            });
        HttpResponse response = BodyResponse(200, "text/event-stream", "", {{"Cache-Control", "no-store"}});
        // A device that left ends its streams after telling them; an EventSource then reconnects
        // and finds the device again once it is back.
        response.stream = EventStream{
            .events = events,
            .ending = [device]() -> std::optional<std::string> {
                if (!device->Retired()) return std::nullopt;
                return SampleEvent(device->Id(), {std::chrono::system_clock::now(), {}, "the device left"});
            },
            .holds = watch};
        return response;
    }

    void Metrics(const HttpServer::Reply &reply) const {
        CollectMetrics(registry, options.statusMaxAge, [reply](std::string text) {
            reply(BodyResponse(200, "text/plain; version=0.0.4; charset=utf-8", std::move(text)));
        });
    }
};

HttpApi::HttpApi(DeviceRegistry &registry, EventLoop &loop, CommandGate &gate, HttpOptions options)
    : impl_(std::make_unique<Impl>(registry, loop, gate, std::move(options))) {}

HttpApi::~HttpApi() { impl_->loop.Stop(); }

void HttpApi::Start() {
    Impl &impl = *impl_;
    impl.server = std::make_unique<HttpServer>(
        impl.loop, impl.options.limits, impl.options.tls, [this](HttpRequest request, HttpServer::Reply reply) {
            impl_->Route(request, port_, reply);
        });
    port_ = impl.server->Listen(impl.options.address, impl.options.port);
    impl.server->StartAccepting();
}

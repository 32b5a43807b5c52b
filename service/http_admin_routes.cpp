#include "http_admin_routes.h"

#include <charconv>

namespace {

constexpr char kJson[] = "application/json";

HttpResponse Answer(int status, const Json &document) {
    return BodyResponse(status, kJson, document.dump(2) + "\n");
}

HttpResponse Refuse(const Refusal &refusal) { return ErrorResponse(refusal.status, refusal.error, refusal.message); }

// The ASCII lower case of a header value, for comparing media types.
std::string Lower(std::string text) {
    for (char &c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

// The query of GET /api/v1/audit, or why it is none.
std::optional<Refusal> ReadAuditQuery(const HttpRequest &request, AuditQuery &query) {
    if (const std::string since = request.Param("since"); !since.empty()) {
        query.since = ParseAuditTime(since);
        if (!query.since)
            return Refusal{400, "bad-request", "since must be a UTC time such as 2026-12-08T23:59:01.250Z"};
    }
    if (const std::string device = request.Param("device"); !device.empty()) query.device = device;
    if (const std::string limit = request.Param("limit"); !limit.empty()) {
        size_t count = 0;
        const auto [end, failed] = std::from_chars(limit.data(), limit.data() + limit.size(), count);
        if (failed != std::errc() || end != limit.data() + limit.size() || count < 1 || count > kMostAuditEntries) {
            return Refusal{400, "bad-request",
                           "limit must be a whole number from 1 to " + std::to_string(kMostAuditEntries)};
        }
        query.limit = count;
    }
    return std::nullopt;
}

}  // namespace

std::optional<Refusal> JsonBodyRefusal(const HttpRequest &request) {
    const std::string type = Lower(request.Header("Content-Type"));
    if (type != kJson && !type.starts_with(std::string(kJson) + ";"))
        return Refusal{415, "not-json", "the body is taken as application/json only"};
    return std::nullopt;
}

Json LimitsDocument(ServedDevice &device) {
    return {{"limits", LimitsJson(device.Limits().Limits())}, {"beyond_limits", ExceedancesJson(device.BeyondLimits())}};
}

void ChangeLimitsRoute(CommandGate &gate, DeviceRegistry &registry, const HttpRequest &request, const Caller &caller,
                       const std::shared_ptr<ServedDevice> &device, const HttpServer::Reply &reply) {
    if (const std::optional<Refusal> refusal = JsonBodyRefusal(request)) return reply(Refuse(*refusal));
    DeviceLimits limits;
    try {
        const Json body = Json::parse(request.body, nullptr, false);
        if (body.is_discarded()) return reply(Refuse({400, "bad-json", "the body is not valid JSON"}));
        limits = ReadDeviceLimits(body, "the limits");
    } catch (const LimitsError &error) {
        return reply(Refuse({400, "bad-limits", error.what()}));
    }
    const std::string command = "LIMITS " + LimitsJson(limits).dump();
    gate.Authorize(caller, Action::ChangeLimits, command, device->Id(),
                   [&gate, &registry, caller, device, limits, command, reply](Admission admission) {
                       if (admission.refusal) return reply(Refuse(*admission.refusal));
                       gate.RunAudited(
                           caller, *admission.user, device->Id(), command,
                           [&registry, id = device->Id(), limits] { registry.ChangeLimits(id, limits); },
                           [device, reply](std::optional<Refusal> refusal) {
                               reply(refusal ? Refuse(*refusal) : Answer(200, LimitsDocument(*device)));
                           });
                   });
}

void AuditRoute(CommandGate &gate, const HttpRequest &request, const Caller &caller, const HttpServer::Reply &reply) {
    AuditQuery query;
    if (const std::optional<Refusal> refusal = ReadAuditQuery(request, query)) return reply(Refuse(*refusal));
    gate.Authorize(caller, Action::ReadAudit, "GET /api/v1/audit", std::nullopt,
                   [&gate, query, reply](Admission admission) {
                       if (admission.refusal) return reply(Refuse(*admission.refusal));
                       gate.ReadAuditLog(query, [reply](std::optional<AuditPage> page) {
                           if (!page) {
                               return reply(Refuse({404, "no-audit-log",
                                                    "this service keeps no audit log (start it with --audit-log FILE)"}));
                           }
                           reply(Answer(200, {{"entries", page->entries}, {"earlier", page->earlier}}));
                       });
                   });
}

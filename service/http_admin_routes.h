// The HTTP API's routes for admins: a device's limits changed at run time (PUT
// /api/v1/devices/ID/limits) and the audit log read back (GET /api/v1/audit). Each asks the
// command gate whether the token presented is a user's whose role allows it (a refusal is
// audited), after the checks every request passes (Host, Origin).
#pragma once

#include "command_gate.h"
#include "device_registry.h"
#include "http_server.h"

// A body of JSON is all a request that changes something may carry (a form, which a page of
// another site may post without asking, is not): nothing, or the refusal.
std::optional<Refusal> JsonBodyRefusal(const HttpRequest &request);

// The device's limits (and the settings found beyond them), as in its document.
Json LimitsDocument(ServedDevice &device);

// PUT with the limits object as the body: the device checks the new limits from now on (and so
// does a device that arrives under its id later), the change audited before it is made.
void ChangeLimitsRoute(CommandGate &gate, DeviceRegistry &registry, const HttpRequest &request, const Caller &caller,
                       const std::shared_ptr<ServedDevice> &device, const HttpServer::Reply &reply);

// GET with since=TIME, device=ID and limit=N (1 to 1000, default 100): {"entries": [...],
// "earlier": N}, the newest entries that match, oldest first.
void AuditRoute(CommandGate &gate, const HttpRequest &request, const Caller &caller, const HttpServer::Reply &reply);

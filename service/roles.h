// What each role may do, as one table: a viewer reads, an operator also changes settings (within
// the device's limits, which are checked apart), an admin also changes the limits and reads the
// audit log. Every door asks the same question with the same action, so no door can be more
// lenient than another.
#pragma once

#include "access_policy.h"

#include <optional>
#include <string>
#include <string_view>

enum class Role { Viewer, Operator, Admin };

enum class Action {
    Read,          // queries, streams, the device list
    Set,           // a command that changes a setting
    ChangeLimits,  // PUT .../limits
    ReadAudit,     // GET /api/v1/audit and the dashboard's last entries
};

// "viewer", "operator", "admin".
std::string_view RoleName(Role role);
std::optional<Role> RoleNamed(std::string_view name);
// "viewer, operator or admin", for messages.
std::string RoleNames();

bool RoleMay(Role role, Action action);

// The action a command of the language asks for.
Action ActionOf(std::string_view command);

// Nothing when the user may; otherwise HTTP 403 with "error": "role" and a sentence naming the
// user, the role and the role needed ("ERR 403 role: ..." on an instrument socket).
std::optional<Refusal> CheckRole(std::string_view user, Role role, Action action);

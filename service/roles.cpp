#include "roles.h"

#include "command_executor.h"

#include <array>

namespace {

constexpr unsigned Bit(Action action) { return 1u << static_cast<unsigned>(action); }

struct RoleRow {
    Role role;
    std::string_view name;
    unsigned actions;
};

constexpr std::array kRoles{
    RoleRow{Role::Viewer, "viewer", Bit(Action::Read)},
    RoleRow{Role::Operator, "operator", Bit(Action::Read) | Bit(Action::Set)},
    RoleRow{
        Role::Admin, "admin",
        Bit(Action::Read) | Bit(Action::Set) | Bit(Action::ChangeLimits) | Bit(Action::ReadAudit)},
};

// What a refusal says the action is.
constexpr std::string_view kActionWords[] = {"reading", "changing a setting", "changing the limits",
                                             "reading the audit log"};

const RoleRow &RowOf(Role role) { return kRoles[static_cast<size_t>(role)]; }

}  // namespace

std::string_view RoleName(Role role) { return RowOf(role).name; }

std::optional<Role> RoleNamed(std::string_view name) {
    for (const RoleRow &row : kRoles) {
        if (row.name == name) return row.role;
    }
    return std::nullopt;
}

std::string RoleNames() {
    std::string names;
    for (size_t i = 0; i < kRoles.size(); ++i) {
        if (i > 0) names += i + 1 == kRoles.size() ? " or " : ", ";
        names += kRoles[i].name;
    }
    return names;
}

bool RoleMay(Role role, Action action) { return (RowOf(role).actions & Bit(action)) != 0; }

Action ActionOf(std::string_view command) {
    return ChangesSetting(command) ? Action::Set : Action::Read;
}

std::optional<Refusal> CheckRole(std::string_view user, Role role, Action action) {
    if (RoleMay(role, action)) return std::nullopt;
    // The least role that may, as the table lists them from the least.
    std::string_view needed;
    for (const RoleRow &row : kRoles) {
        if ((row.actions & Bit(action)) != 0) {
            needed = row.name;
            break;
        }
    }
    return Refusal{403, "role",
                   std::string(kActionWords[static_cast<size_t>(action)]) + " needs the " +
                       std::string(needed) + " role; " + std::string(user) + " is " +
                       std::string(RoleName(role))};
}

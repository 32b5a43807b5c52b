// The live dashboard: one page at "/" with its scripts and styles under /dashboard/, carried in
// the program, and /api/v1/access, which tells the page what it may offer and who is signed in.
#pragma once

#include "access_policy.h"
#include "http_messages.h"
#include "users.h"

#include <optional>
#include <string_view>

// The page and its files hold nothing of any device, so a service that wants the token for
// reading still serves them without it (a browser cannot add a header to a page it opens); every
// reading the page makes carries the token.
bool IsDashboardFile(std::string_view path);

// The answer to a GET of one of the dashboard's paths ("/", "/dashboard/NAME"), or nothing for any
// other path.
std::optional<HttpResponse> DashboardResponse(std::string_view path);

// /api/v1/access: whether control is allowed, whether reading needs the token, who the token
// presented is ({"name", "role"}, or null) and whether an audit log is kept.
HttpResponse AccessResponse(const AccessPolicy &policy, const std::optional<User> &user, bool audited);

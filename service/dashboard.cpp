#include "dashboard.h"

#include "dashboard_assets.h"
#include "client/output.h"

#include <algorithm>

namespace {

constexpr std::string_view kFolder = "/dashboard/";
constexpr std::string_view kPage = "index.html";

struct MediaType {
    std::string_view extension;
    const char *type;
};

constexpr MediaType kMediaTypes[] = {
    {".html", "text/html; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
};

// Only the service's own files run, no inline script or style element, nothing from elsewhere,
// and no other site may frame the page.
constexpr char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

const DashboardFile *FindFile(std::string_view name) {
    const auto &files = DashboardFiles();
    const auto found = std::find_if(files.begin(), files.end(),
                                    [&](const DashboardFile &file) { return file.name == name; });
    return found == files.end() ? nullptr : &*found;
}

// "/" is the page; "/dashboard/NAME" a file of it.
const DashboardFile *FileOfPath(std::string_view path) {
    if (path == "/") return FindFile(kPage);
    return path.starts_with(kFolder) ? FindFile(path.substr(kFolder.size())) : nullptr;
}

HttpResponse FileResponse(const DashboardFile &file) {
    const auto media = std::find_if(std::begin(kMediaTypes), std::end(kMediaTypes),
                                    [&](const MediaType &m) { return file.name.ends_with(m.extension); });
    return BodyResponse(200, media != std::end(kMediaTypes) ? media->type : "application/octet-stream",
                        std::string(file.content),
                        {{"Content-Security-Policy", kContentSecurityPolicy},
                         {"X-Content-Type-Options", "nosniff"},
                         {"Referrer-Policy", "no-referrer"},
                         {"Cache-Control", "no-cache"}});
}

}  // namespace

bool IsDashboardFile(std::string_view path) { return FileOfPath(path) != nullptr; }

std::optional<HttpResponse> DashboardResponse(std::string_view path) {
    if (const DashboardFile *file = FileOfPath(path)) return FileResponse(*file);
    return std::nullopt;
}

HttpResponse AccessResponse(const AccessPolicy &policy, const std::optional<User> &user, bool audited) {
    // What the page may offer; the service checks every command again whatever the page shows.
    Json access = Json::object();
    access["control_allowed"] = policy.allowControl;
    access["token_for_reading"] = policy.tokenForReading;
    access["user"] = user ? Json{{"name", user->name}, {"role", RoleName(user->role)}} : Json(nullptr);
    access["audit"] = audited;
    return BodyResponse(200, "application/json", access.dump(2) + "\n");
}

// The dashboard's files as the build embedded them (see embed_assets.cmake).
#pragma once

#include <string_view>
#include <vector>

struct DashboardFile {
    std::string_view name;  // "app.js"
    std::string_view content;
};

const std::vector<DashboardFile> &DashboardFiles();

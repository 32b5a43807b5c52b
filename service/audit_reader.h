// Reading the audit log back for GET /api/v1/audit and the dashboard: the entries of every file,
// oldest first, those of one device or from a time on, at most a bounded number (the newest).
#pragma once

#include "durable_file.h"

#include "client/output.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t kMostAuditEntries = 1000;

struct AuditQuery {
    std::optional<std::chrono::system_clock::time_point> since;  // entries at or after
    std::optional<std::string> device;
    size_t limit = 100;  // at most kMostAuditEntries are given
};

struct AuditPage {
    std::vector<Json> entries;  // oldest first
    size_t earlier = 0;         // entries that match but were left out for the limit (the oldest)
};

// "2026-12-08T23:59:01.250Z" (UTC; the fraction is optional, up to nine digits), or nothing.
std::optional<std::chrono::system_clock::time_point> ParseAuditTime(std::string_view text);

// The entries of the files (AuditLog::Snapshot) that the query asks for. A line that is not an
// entry (cut short by a crash) is passed over.
AuditPage ReadAudit(const std::vector<std::unique_ptr<SharedReader>> &files,
                    const AuditQuery &query);

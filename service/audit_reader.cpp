#include "audit_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <deque>

namespace {

constexpr size_t kLongestLine = 1 << 20;

bool ReadField(std::string_view &text, size_t digits, char after, int &value) {
    if (text.size() < digits + (after != '\0' ? 1 : 0)) return false;
    const auto read = std::from_chars(text.data(), text.data() + digits, value);
    if (read.ec != std::errc() || read.ptr != text.data() + digits) return false;
    text.remove_prefix(digits);
    if (after == '\0') return true;
    if (text.front() != after) return false;
    text.remove_prefix(1);
    return true;
}

// Collects the entries a query wants, keeping the newest `limit`.
class Selection {
public:
    explicit Selection(const AuditQuery &query)
        : query_(query), limit_(std::min(query.limit, kMostAuditEntries)) {}

    void Offer(std::string_view line) {
        if (query_.since) {
            // The time is the first key of every entry: read before the whole line is.
            constexpr std::string_view kTimeKey = "{\"time\":\"";
            if (!line.starts_with(kTimeKey)) return;
            const auto time = ParseAuditTime(
                line.substr(kTimeKey.size(), line.find('"', kTimeKey.size()) - kTimeKey.size()));
            if (!time || *time < *query_.since) return;
        }
        Json entry = Json::parse(line, nullptr, false);
        if (!entry.is_object() || !entry.contains("time")) return;
        if (query_.device && entry.value("device", Json()) != *query_.device) return;
        entries_.push_back(std::move(entry));
        if (entries_.size() > limit_) {
            entries_.pop_front();
            ++earlier_;
        }
    }

    AuditPage Page() {
        AuditPage page;
        page.entries.assign(std::make_move_iterator(entries_.begin()),
                            std::make_move_iterator(entries_.end()));
        page.earlier = earlier_;
        return page;
    }

private:
    const AuditQuery &query_;
    const size_t limit_;
    std::deque<Json> entries_;
    size_t earlier_ = 0;
};

}  // namespace

std::optional<std::chrono::system_clock::time_point> ParseAuditTime(std::string_view text) {
    using namespace std::chrono;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!ReadField(text, 4, '-', year) || !ReadField(text, 2, '-', month) ||
        !ReadField(text, 2, 'T', day) || !ReadField(text, 2, ':', hour) ||
        !ReadField(text, 2, ':', minute) || !ReadField(text, 2, '\0', second)) {
        return std::nullopt;
    }
    nanoseconds fraction{0};
    if (text.starts_with('.')) {
        text.remove_prefix(1);
        const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
        if (digits == 0 || digits > 9) return std::nullopt;
        int64_t value = 0;
        std::from_chars(text.data(), text.data() + digits, value);
        for (size_t i = digits; i < 9; ++i) value *= 10;
        fraction = nanoseconds(value);
        text.remove_prefix(digits);
    }
    const year_month_day date{std::chrono::year(year),
                              std::chrono::month(static_cast<unsigned>(month)),
                              std::chrono::day(static_cast<unsigned>(day))};
    if (text != "Z" || !date.ok() || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    const auto instant =
        sys_days(date) + hours(hour) + minutes(minute) + seconds(second) + fraction;
    return time_point_cast<system_clock::duration>(instant);
}

AuditPage ReadAudit(const std::vector<std::unique_ptr<SharedReader>> &files,
                    const AuditQuery &query) {
    Selection selection(query);
    std::array<char, 64 * 1024> chunk;
    for (const auto &file : files) {
        std::string partial;
        for (size_t count; (count = file->Read(chunk)) > 0;) {
            partial.append(chunk.data(), count);
            size_t start = 0;
            for (size_t end; (end = partial.find('\n', start)) != std::string::npos;
                 start = end + 1)
                selection.Offer(std::string_view(partial).substr(start, end - start));
            partial.erase(0, start);
            // No entry is this long: a file that is not the log's is read in bounded memory.
            if (partial.size() > kLongestLine) partial.clear();
        }
        // A last line without its end was cut short: it is no entry.
    }
    return selection.Page();
}

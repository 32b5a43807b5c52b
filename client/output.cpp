#include "client/output.h"

#include "client/status_codes.h"

#include <algorithm>
#include <charconv>
#include <cmath>

Json JsonNumber(double value) {
    if (!std::isfinite(value)) return nullptr;
    // Whole numbers as integers, so they are written without a fraction ("25", not "25.0"); the
    // shortest text that reads back as the same double otherwise.
    constexpr double kExactIntegers = 9007199254740992.0;  // 2^53
    const bool negativeZero = value == 0.0 && std::signbit(value);
    if (value == std::trunc(value) && std::fabs(value) < kExactIntegers && !negativeZero) {
        return static_cast<int64_t>(value);
    }
    return value;
}

Json JsonText(std::string_view bytes) {
    std::string utf8;
    utf8.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
            continue;
        }
        utf8 += static_cast<char>(0xC0 | (byte >> 6));
        utf8 += static_cast<char>(0x80 | (byte & 0x3F));
    }
    return utf8;
}

std::string SerializeJson(const Json &document) { return document.dump(2, ' ', true) + '\n'; }

void SetJsonStatus(Json &object, int32_t status) {
    object["status"] = status;
    if (status == 0) return;
    object["error"] = DescribeStatus(status).name;
    object["message"] = StatusMessage(status);
}

std::optional<double> ParseNumber(std::string_view text) {
    double value = 0.0;
    const char *end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc{} || result.ptr != end) return std::nullopt;
    return value;
}

std::string FormatRow(const std::vector<std::string> &cells, const std::vector<size_t> &widths) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
        line += cells[i];
        if (i + 1 == cells.size()) break;  // no trailing blanks
        const size_t width = i < widths.size() ? widths[i] : 0;
        line.append(width > cells[i].size() ? width - cells[i].size() : 0, ' ');
        line += "  ";
    }
    return line;
}

std::vector<size_t> ColumnWidths(const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> widths;
    for (const auto &row : rows) {
        if (row.empty()) continue;
        widths.resize(std::max(widths.size(), row.size() - 1), 0);
        for (size_t i = 0; i + 1 < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    return widths;
}

std::string FormatTable(const std::vector<std::vector<std::string>> &rows) {
    const std::vector<size_t> widths = ColumnWidths(rows);
    std::string out;
    for (const auto &row : rows) out += FormatRow(row, widths) + '\n';
    return out;
}

std::string FormatCsvRecord(const std::vector<std::string> &fields) {
    std::string record;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) record += ',';
        const std::string &field = fields[i];
        if (field.find_first_of(",\"\r\n") == std::string::npos) {
            record += field;
            continue;
        }
        record += '"';
        for (const char c : field) {
            if (c == '"') record += '"';
            record += c;
        }
        record += '"';
    }
    return record;
}

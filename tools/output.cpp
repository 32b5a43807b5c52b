#include "output.h"

#include "status_codes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

Json Json::Null() { return Json{}; }

Json Json::Bool(bool value) {
    Json json;
    json.text_ = value ? "true" : "false";
    return json;
}

Json Json::Integer(int64_t value) {
    Json json;
    json.text_ = std::to_string(value);
    return json;
}

Json Json::Number(double value) {
    Json json;
    if (!std::isfinite(value)) return json;
    char buffer[64];
    // Shortest text that reads back as the same double; never locale-dependent.
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    json.text_.assign(buffer, result.ptr);
    return json;
}

Json Json::String(std::string value) {
    Json json;
    json.kind_ = Kind::String;
    json.text_ = std::move(value);
    return json;
}

Json Json::Object() {
    Json json;
    json.kind_ = Kind::Object;
    return json;
}

Json Json::Array() {
    Json json;
    json.kind_ = Kind::Array;
    return json;
}

Json &Json::Set(std::string key, Json value) {
    members_.emplace_back(std::move(key), std::move(value));
    return *this;
}

Json &Json::Push(Json value) {
    items_.push_back(std::move(value));
    return *this;
}

namespace {

// Control characters and bytes outside ASCII are escaped, so the output is valid JSON whatever
// bytes a head memory holds (a byte is taken as the code point of the same value).
void WriteString(std::string &out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20 || byte >= 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void Indent(std::string &out, int depth) { out.append(static_cast<size_t>(depth) * 2, ' '); }

}  // namespace

void Json::Write(std::string &out, int depth) const {
    switch (kind_) {
    case Kind::Literal: out += text_; return;
    case Kind::String: WriteString(out, text_); return;
    case Kind::Object:
        if (members_.empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        for (size_t i = 0; i < members_.size(); ++i) {
            Indent(out, depth + 1);
            WriteString(out, members_[i].first);
            out += ": ";
            members_[i].second.Write(out, depth + 1);
            out += i + 1 < members_.size() ? ",\n" : "\n";
        }
        Indent(out, depth);
        out += '}';
        return;
    case Kind::Array:
        if (items_.empty()) {
            out += "[]";
            return;
        }
        out += "[\n";
        for (size_t i = 0; i < items_.size(); ++i) {
            Indent(out, depth + 1);
            items_[i].Write(out, depth + 1);
            out += i + 1 < items_.size() ? ",\n" : "\n";
        }
        Indent(out, depth);
        out += ']';
        return;
    }
}

std::string Json::Serialize() const {
    std::string out;
    Write(out, 0);
    out += '\n';
    return out;
}

void SetJsonStatus(Json &object, int32_t status) {
    object.Set("status", Json::Integer(status));
    if (status == 0) return;
    object.Set("error", Json::String(DescribeStatus(status).name));
    object.Set("message", Json::String(StatusMessage(status)));
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

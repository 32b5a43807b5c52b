// Output formats of the tool: JSON for scripts, aligned tables for people, CSV for logging.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A JSON value built up by the subcommands and written out once. Objects keep their members in
// the order they were set, so the output reads in the order of the panel.
class Json {
public:
    static Json Null();
    static Json Bool(bool value);
    static Json Integer(int64_t value);
    static Json Number(double value);  // not finite: null
    static Json String(std::string value);
    static Json Object();
    static Json Array();

    Json &Set(std::string key, Json value);  // on an object
    Json &Push(Json value);                  // on an array

    // Indented by two blanks per level, ended by a newline.
    std::string Serialize() const;

private:
    enum class Kind { Literal, String, Object, Array };
    void Write(std::string &out, int depth) const;

    Kind kind_ = Kind::Literal;
    std::string text_ = "null";  // Literal: the JSON text; String: the raw string
    std::vector<std::pair<std::string, Json>> members_;
    std::vector<Json> items_;
};

// Adds "status" and, for a failure, "error" (the status name) and "message" (name and meaning).
void SetJsonStatus(Json &object, int32_t status);

// A reply of the library read as a number, independently of the locale; nullopt when the whole
// text is not one number.
std::optional<double> ParseNumber(std::string_view text);

// Left-aligned columns separated by two blanks; each column as wide as its widest cell.
std::string FormatTable(const std::vector<std::vector<std::string>> &rows);

// The widths that align every column; the last cell of a row is never padded, so it does not
// widen its column.
std::vector<size_t> ColumnWidths(const std::vector<std::vector<std::string>> &rows);

// One row of cells padded to fixed widths (for tables written a row at a time).
std::string FormatRow(const std::vector<std::string> &cells, const std::vector<size_t> &widths);

// One CSV record (RFC 4180 quoting), without the line end.
std::string FormatCsvRecord(const std::vector<std::string> &fields);

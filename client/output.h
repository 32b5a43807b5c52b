// Output formats of the tool: JSON for scripts, aligned tables for people, CSV for logging.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// JSON documents are nlohmann-json's ordered objects: members keep the order they were set in,
// so the output reads in the order of the panel.
using Json = nlohmann::ordered_json;

// A number as the tool writes it: a whole number without a fraction ("25", not "25.0"); not
// finite: null.
Json JsonNumber(double value);

// Text from a head or a supply: each byte is taken as the code point of the same value, so the
// document is valid JSON whatever bytes a head memory holds.
Json JsonText(std::string_view bytes);

// Indented by two blanks per level, ended by a newline; everything outside ASCII escaped.
std::string SerializeJson(const Json &document);

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

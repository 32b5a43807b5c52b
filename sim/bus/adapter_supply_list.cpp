#include "bus/adapter_supply_list.h"

#include <algorithm>
#include <charconv>

#include "bus/head_presets.h"

namespace sim {

namespace {

std::string_view Trimmed(std::string_view text) {
    constexpr std::string_view kBlanks = " \t";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const size_t at = text.find(separator);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        text.remove_prefix(at + 1);
    }
}

std::string Quoted(std::string_view text) {
    std::string quoted(1, '"');
    quoted.append(text);
    return quoted += '"';
}

// Each setter returns why the value cannot be taken, or nothing.
std::string SetText(std::optional<std::string> &field, std::string_view key,
                    std::string_view value) {
    if (value.size() > kAdapterTextLength) {
        return std::string(key) + " longer than " + std::to_string(kAdapterTextLength) +
               " characters";
    }
    field = std::string(value);
    return {};
}

std::string SetLocation(AdapterSupplyEntry &entry, std::string_view value) {
    std::string_view digits = value;
    int base = 10;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
        digits.remove_prefix(2);
        base = 16;
    }
    uint32_t location = 0;
    const char *end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, location, base);
    if (digits.empty() || error != std::errc() || stop != end) {
        return "location " + Quoted(value) + " is not a 32-bit number";
    }
    entry.location = location;
    return {};
}

struct Attribute {
    std::string_view key;
    std::string (*set)(AdapterSupplyEntry &entry, std::string_view value);
};

const Attribute kAttributes[] = {
    {"name", [](AdapterSupplyEntry &entry,
                std::string_view value) { return SetText(entry.description, "name", value); }},
    {"serial", [](AdapterSupplyEntry &entry,
                  std::string_view value) { return SetText(entry.serialNumber, "serial", value); }},
    {"location", SetLocation},
};

// The entry, or why it is left out (in `reason`).
AdapterSupplyEntry ParseEntry(std::string_view text, std::string &reason) {
    const std::vector<std::string_view> parts = Split(text, '@');
    AdapterSupplyEntry entry;
    entry.preset = std::string(Trimmed(parts.front()));
    if (entry.preset.empty()) {
        reason = "no preset name";
        return entry;
    }
    if (FindHeadPreset(entry.preset) == nullptr) {
        reason = "unknown preset " + Quoted(entry.preset);
        return entry;
    }
    std::vector<std::string_view> given;
    for (size_t i = 1; i < parts.size() && reason.empty(); ++i) {
        const size_t equals = parts[i].find('=');
        if (equals == std::string_view::npos) {
            reason = Quoted(Trimmed(parts[i])) + " is not key=value";
            break;
        }
        const std::string_view key = Trimmed(parts[i].substr(0, equals));
        const auto attribute = std::find_if(std::begin(kAttributes), std::end(kAttributes),
                                            [&](const Attribute &a) { return a.key == key; });
        if (attribute == std::end(kAttributes)) {
            reason = "unknown key " + Quoted(key) + " (name, serial or location)";
        } else if (std::find(given.begin(), given.end(), key) != given.end()) {
            reason = Quoted(key) + " given twice";
        } else {
            given.push_back(key);
            reason = attribute->set(entry, Trimmed(parts[i].substr(equals + 1)));
        }
    }
    return entry;
}

}  // namespace

AdapterSupplyList ParseAdapterSupplyList(std::string_view text) {
    AdapterSupplyList list;
    for (const std::string_view piece : Split(text, ',')) {
        const std::string_view written = Trimmed(piece);
        if (written.empty()) continue;
        std::string reason;
        AdapterSupplyEntry entry = ParseEntry(written, reason);
        if (reason.empty()) {
            list.entries.push_back(std::move(entry));
        } else {
            list.problems.push_back({std::string(written), std::move(reason)});
        }
    }
    return list;
}

AdapterNaming NamingFor(uint32_t number, const AdapterSupplyEntry *entry) {
    // Default locations, far from the enumeration indices so that a mix-up shows.
    constexpr uint32_t kFirstLocation = 0x2101;
    AdapterNaming naming{"ZARP Power Supply A", "ZV" + std::to_string(1001 + number),
                         kFirstLocation + number};
    if (entry != nullptr) {
        naming.description = entry->description.value_or(naming.description);
        naming.serialNumber = entry->serialNumber.value_or(naming.serialNumber);
        naming.location = entry->location.value_or(naming.location);
    }
    return naming;
}

}  // namespace sim

#include "command_language.h"

#include <MavoZARP.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>

namespace {

constexpr SettingEntry kSettingEntries[] = {
    {"PCMD=", Setting::PowerCommand, ArgumentKind::Real},
    {"PMEM=", Setting::PowerMemory, ArgumentKind::Real},
    {"CCMD=", Setting::CurrentCommand, ArgumentKind::Real},
    {"SHCMD=", Setting::Shutter, ArgumentKind::OnOff},
    {"KSWCMD=", Setting::KeySwitch, ArgumentKind::OnOff},
    {"CMODECMD=", Setting::ControlMode, ArgumentKind::OnOff},
    {"ANACMD=", Setting::AnalogMode, ArgumentKind::OnOff},
    {"REM=", Setting::Remote, ArgumentKind::OnOff},
    {"MATCH=1", Setting::Match, ArgumentKind::None},
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// What the C library's formatted scan skips as white space.
bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view SkipDigits(std::string_view text) {
    while (!text.empty() && IsDigit(text.front())) text.remove_prefix(1);
    return text;
}

// Whether a number with this mantissa and decimal exponent lies beyond the largest double rather
// than below the smallest: the power of ten of its leading digit decides, the two bounds being
// hundreds of orders apart.
bool Overflows(std::string_view mantissa, std::string_view exponent) {
    int64_t order = 0;
    const size_t first = mantissa.find_first_not_of("0.");
    if (first != std::string_view::npos) {
        const size_t point = std::min(mantissa.find('.'), mantissa.size());
        order = first < point ? static_cast<int64_t>(point - first)
                              : -static_cast<int64_t>(first - point - 1);
    }
    constexpr int64_t kFarBeyond = 1'000'000;
    const bool negative = !exponent.empty() && exponent.front() == '-';
    if (!exponent.empty() && (exponent.front() == '-' || exponent.front() == '+'))
        exponent.remove_prefix(1);
    int64_t power = 0;
    for (const char digit : exponent) power = std::min(power * 10 + (digit - '0'), kFarBeyond);
    return order + (negative ? -power : power) > 0;
}

// The number at the start of `text` as the language reads it: nothing when there is none or it
// exceeds the largest double; a magnitude below the smallest reads as zero.
std::optional<double> ReadLanguageNumber(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);

    std::string_view rest = SkipDigits(text);
    const size_t integerDigits = text.size() - rest.size();
    size_t fractionDigits = 0;
    if (!rest.empty() && rest.front() == '.') {
        const std::string_view after = SkipDigits(rest.substr(1));
        fractionDigits = rest.size() - 1 - after.size();
        rest = after;
    }
    if (integerDigits + fractionDigits == 0) return std::nullopt;
    const std::string_view mantissa = text.substr(0, text.size() - rest.size());

    // An exponent is part of the number only with digits ("2E" is 2).
    std::string_view exponent;
    if (!rest.empty() && (rest.front() == 'E' || rest.front() == 'e')) {
        std::string_view digits = rest.substr(1);
        if (!digits.empty() && (digits.front() == '+' || digits.front() == '-'))
            digits.remove_prefix(1);
        const size_t count = digits.size() - SkipDigits(digits).size();
        if (count > 0) exponent = rest.substr(1, rest.size() - digits.size() - 1 + count);
    }
    const std::string_view number =
        text.substr(0, mantissa.size() + (exponent.empty() ? 0 : exponent.size() + 1));

    double magnitude = 0.0;
    const auto read = std::from_chars(number.data(), number.data() + number.size(), magnitude,
                                      std::chars_format::general);
    if (read.ec == std::errc::result_out_of_range) {
        if (Overflows(mantissa, exponent)) return std::nullopt;
        magnitude = 0.0;
    } else if (read.ec != std::errc()) {
        return std::nullopt;
    }
    return negative ? -magnitude : magnitude;
}

}  // namespace

std::span<const SettingEntry> SettingEntries() { return kSettingEntries; }

SettingRead ReadSetting(std::string_view command) {
    // The library reads up to the terminator, and no further than its 100-byte working copy.
    command = command.substr(0, command.find('\0'));
    if (command.size() >= MAVOZARP_BUFFER_SIZE) return {};
    std::string folded(command);
    for (char &c : folded) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    SettingRead read;
    for (const SettingEntry &entry : kSettingEntries) {
        const bool matches = entry.argument == ArgumentKind::None ? folded == entry.text
                                                                  : folded.starts_with(entry.text);
        if (!matches) continue;
        read.entry = &entry;
        const std::string_view argument = std::string_view(folded).substr(folded.find('=') + 1);
        if (entry.argument == ArgumentKind::Real) read.value = ReadLanguageNumber(argument);
        if (entry.argument == ArgumentKind::OnOff && (argument == "0" || argument == "1"))
            read.value = argument == "1" ? 1.0 : 0.0;
        return read;
    }
    return read;
}

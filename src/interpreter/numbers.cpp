#include "interpreter/numbers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The white space that a formatted scan skips in the C locale.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char *SkipDigits(const char *p) {
    while (IsDigit(*p)) ++p;
    return p;
}

// A decimal exponent far beyond any double; longer exponents are held there.
constexpr int64_t kExponentCap = 1'000'000;

int64_t ReadExponent(const char *p, const char *end) {
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    int64_t exponent = 0;
    for (; p != end; ++p) exponent = std::min(exponent * 10 + (*p - '0'), kExponentCap);
    return negative ? -exponent : exponent;
}

// The power of ten just above the mantissa's leading significant digit: 2 for "12.5", 0 for
// "0.5", -2 for "0.005".
int64_t MantissaOrder(const char *p, const char *end) {
    while (p != end && *p == '0') ++p;
    int64_t integerDigits = 0;
    for (; p != end && IsDigit(*p); ++p) ++integerDigits;
    if (integerDigits > 0 || p == end) return integerDigits;
    int64_t leadingZeros = 0;
    for (++p; p != end && *p == '0'; ++p) ++leadingZeros;
    return -leadingZeros;
}

}  // namespace

std::optional<double> ReadDecimal(const char *text) {
    const char *p = text;
    while (IsBlank(*p)) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;

    const char *mantissa = p;
    p = SkipDigits(p);
    const char *point = p;
    if (*p == '.') p = SkipDigits(p + 1);
    const bool hasDigits = point != mantissa || p - point > 1;
    if (!hasDigits) return std::nullopt;
    const char *mantissaEnd = p;

    // An exponent without digits is not part of the number ("2E" reads as 2).
    const char *end = mantissaEnd;
    if (*p == 'E' || *p == 'e') {
        const char *digits = p + 1;
        if (*digits == '+' || *digits == '-') ++digits;
        if (IsDigit(*digits)) end = SkipDigits(digits);
    }

    double magnitude = 0.0;
    const std::from_chars_result read =
        std::from_chars(mantissa, end, magnitude, std::chars_format::general);
    if (read.ec == std::errc::result_out_of_range) {
        // Out of range is either beyond the largest double or below the smallest; the number's
        // decimal order tells which.
        const int64_t exponent = end == mantissaEnd ? 0 : ReadExponent(mantissaEnd + 1, end);
        if (MantissaOrder(mantissa, mantissaEnd) + exponent > 0) return std::nullopt;
        magnitude = 0.0;
    } else if (read.ec != std::errc()) {
        return std::nullopt;
    }
    return negative ? -magnitude : magnitude;
}

std::string FormatFixed3(double value) {
    if (std::isnan(value)) return "nan";
    // Sign, every integer digit of the largest double, the point and three decimals.
    char text[1 + std::numeric_limits<double>::max_exponent10 + 1 + 1 + 3];
    const std::to_chars_result written =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3);
    return std::string(text, written.ptr);
}

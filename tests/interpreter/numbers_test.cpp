// Numbers of the language read and written without the host's locale, checked against the C
// library's own scan and print in the C locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "interpreter/numbers.h"

namespace {

std::string CLocaleFixed3(double value) {
    char text[400];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

TEST(ReadDecimal, ReadsTheLanguageNotation) {
    const struct {
        const char *text;
        double value;
    } cases[] = {
        {"2", 2.0},          {" 2", 2.0},         {"\t\r\n 2", 2.0},    {"2W", 2.0},
        {"1E-3", 0.001},     {"1e-3", 0.001},     {"-0.5", -0.5},       {"+3", 3.0},
        {".5", 0.5},         {"5.", 5.0},         {"2E", 2.0},          {"2E+", 2.0},
        {"2.5E+2X", 250.0},  {"0X1P3", 0.0},      {"1E-400", 0.0},      {"2=3", 2.0},
        {"0.1", 0.1},        {"1.5", 1.5},
        {"1.7976931348623157E308", 1.7976931348623157e308},
    };
    for (const auto &c : cases) {
        const std::optional<double> value = ReadDecimal(c.text);
        ASSERT_TRUE(value.has_value()) << c.text;
        EXPECT_EQ(*value, c.value) << c.text;
    }
    EXPECT_TRUE(std::signbit(*ReadDecimal("-1E-400")));
}

TEST(ReadDecimal, RefusesWhatIsNoFiniteNumber) {
    for (const char *text : {"", " ", "A", "=2", ".", "-", "+.", "E5", "NAN", "INF", "INFINITY",
                             "-INF", "1E400", "-1E400", "1E99999999999999999999"}) {
        EXPECT_FALSE(ReadDecimal(text).has_value()) << '"' << text << '"';
    }
}

// Many digits beyond a double's precision and long exponents still round as the C library does.
TEST(ReadDecimal, RoundsAsTheCLibraryInTheCLocale) {
    std::mt19937_64 random(7);
    std::uniform_int_distribution<int> digit(0, 9), exponent(-330, 310), length(1, 30);
    for (int i = 0; i < 20000; ++i) {
        std::string text = random() % 2 ? "-" : "";
        const int digits = length(random);
        const int point = static_cast<int>(random() % (digits + 1));
        for (int d = 0; d < digits; ++d) {
            if (d == point) text += '.';
            text += static_cast<char>('0' + digit(random));
        }
        text.append("E").append(std::to_string(exponent(random)));
        const double expected = std::strtod(text.c_str(), nullptr);
        const std::optional<double> value = ReadDecimal(text.c_str());
        if (std::isinf(expected)) {
            EXPECT_FALSE(value.has_value()) << text;
        } else {
            ASSERT_TRUE(value.has_value()) << text;
            EXPECT_EQ(*value, expected) << text;
        }
    }
}

TEST(FormatFixed3, PrintsAsTheCLibraryInTheCLocale) {
    for (double value : {0.0, -0.0, 1.5, -1.5, 0.0005, 0.0625, 0.5625, -0.0625, 2.0005, 1.0015,
                         123.4565, -0.0001, 399.0, 1e22, 1.7976931348623157e308,
                         std::numeric_limits<double>::denorm_min(),
                         std::numeric_limits<double>::infinity(),
                         -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(FormatFixed3(value), CLocaleFixed3(value)) << value;
    }
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
    std::uniform_int_distribution<int> exponent(-6, 30);
    for (int i = 0; i < 20000; ++i) {
        const double value = mantissa(random) * std::pow(10.0, exponent(random));
        ASSERT_EQ(FormatFixed3(value), CLocaleFixed3(value)) << value;
    }
}

TEST(FormatFixed3, ANanReadsTheSameWhateverItsSign) {
    EXPECT_EQ(FormatFixed3(std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(FormatFixed3(-std::numeric_limits<double>::quiet_NaN()), "nan");
}

// A host that switched to a comma locale still exchanges numbers with a point.
TEST(Numbers, IgnoreTheHostsCommaLocale) {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
        GTEST_SKIP() << "locale de_DE.UTF-8 is not installed";
    }
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    ASSERT_STREQ(probe, "1,5") << "the locale does not use a decimal comma";

    EXPECT_EQ(ReadDecimal("1.5"), 1.5);
    EXPECT_EQ(ReadDecimal("1,5"), 1.0);
    EXPECT_EQ(FormatFixed3(1.5), "1.500");
    EXPECT_EQ(FormatFixed3(-1234567.0625), "-1234567.062");
    std::setlocale(LC_ALL, "C");
}

}  // namespace

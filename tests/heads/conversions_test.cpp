#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "heads/conversions.h"
#include "support/failure_text.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::nan("");

TEST(Conversions, ConverterCodesScaleByExactPowersOfTwo) {
    EXPECT_DOUBLE_EQ(AdcCodeToValue(4095, 2.0), 4095.0 * 2.0 / 4096.0);
    EXPECT_DOUBLE_EQ(AdcCodeToValue(2048, 48.0), 24.0);
    // Only the low ten bits of the converter's word count.
    EXPECT_DOUBLE_EQ(DacWordToValue(0xFC00 | 512, 2.0), 1.0);
    EXPECT_DOUBLE_EQ(DacWordToValue(1023, 1024.0), 1023.0);
    EXPECT_DOUBLE_EQ(PotCodeToValue(128, 10.0), 5.0);
}

TEST(Conversions, CounterAndHeadTimeBecomeHours) {
    // 3 h and three quarter seconds; the counter's bytes arrive least significant first.
    EXPECT_DOUBLE_EQ(CounterToHours(ReverseBytes(3 * 14400 + 3)), 3.0);
    EXPECT_DOUBLE_EQ(CounterToHours(0xFFFFFFFF), (0xFFFFFFFFu >> 2) / 3600.0);
    EXPECT_DOUBLE_EQ(HeadTimeToHours(28800), 2.0);
    EXPECT_DOUBLE_EQ(HeadTimeToHours(0xFFFFFFFF), 0.0);  // all bits set: no time recorded
    EXPECT_DOUBLE_EQ(HeadTimeToHours(0xFFFFFFFE), -2.0 / 14400.0);
}

TEST(Conversions, ThermistorAndDivider) {
    EXPECT_NEAR(ThermistorOhmToDegC(10000.0), 25.0, 0.01);
    EXPECT_NEAR(DividerCodeToDegC(2048), 25.002, 0.0005);
    EXPECT_NEAR(DividerCodeToDegC(4095), -97.853, 0.0005);
    // A resistance of zero: the logarithm is minus infinity and the result absolute zero.
    EXPECT_NEAR(DividerCodeToDegC(0), -273.150, 1e-9);
    // No voltage across the divider resistor: the zero guard gives 0.
    EXPECT_EQ(DividerCodeToDegC(4096), 0.0);
}

TEST(Conversions, SetPointPotentiometerReadsAsTemperature) {
    EXPECT_NEAR(PotCodeToDegC(0), 15.822, 0.0005);
    EXPECT_NEAR(PotCodeToDegC(128), 23.555, 0.0005);
    EXPECT_NEAR(PotCodeToDegC(255), 31.501, 0.0005);
    EXPECT_NEAR(PotCodeToDegC(152), 25.021, 0.0005);
}

TEST(Conversions, TemperatureToResistanceByBisection) {
    EXPECT_NEAR(ConvertThermistorDegCToOhm(25.0), 10000.7, 0.1);
    EXPECT_NEAR(ConvertThermistorDegCToOhm(50.0), 3602.6, 0.1);
    // Outside 1 kOhm to 20 kOhm the search climbs to its top, too hot or too cold alike.
    EXPECT_NEAR(ConvertThermistorDegCToOhm(0.0), 19998.2, 0.1);
    EXPECT_NEAR(ConvertThermistorDegCToOhm(100.0), 19998.2, 0.1);
    EXPECT_EQ(ConvertThermistorDegCToOhm(-273.15), 0.0);
}

TEST(Conversions, TemperatureToPotentiometerCode) {
    EXPECT_EQ(DegCToPotCode(25.0), 152);
    EXPECT_EQ(DegCToPotCode(20.0), 70);
    EXPECT_EQ(DegCToPotCode(29.9999), 232);
    EXPECT_LT(DegCToPotCode(15.0001).value(), 0);
    EXPECT_EQ(DegCToPotCode(31.5), 256);  // beyond the potentiometer: refused by its write
    // At absolute zero the resistance degenerates to 0: a code far out of range, not a crash.
    EXPECT_EQ(DegCToPotCode(-273.15), 895);
}

TEST(Conversions, DoublesBecomeIntegersOnlyWhenTheyFit) {
    EXPECT_EQ(TruncateToInt32(2147483647.9), 2147483647);
    EXPECT_EQ(TruncateToInt32(-2147483648.9), -2147483647 - 1);
    EXPECT_EQ(TruncateToInt32(-0.9), 0);
    EXPECT_EQ(TruncateToInt32(511.99), 511);
    for (double refused : {2147483648.0, -2147483649.0, kInf, -kInf, kNan}) {
        EXPECT_EQ(FailureText([&] { TruncateToInt32(refused); }), "Invalid data") << refused;
    }

    EXPECT_EQ(CodeInRange(255.9, 255), 255u);
    EXPECT_EQ(CodeInRange(-0.5, 255), 0u);
    for (double none : {256.0, -1.0, kInf, -kInf, kNan, 1e300}) {
        EXPECT_FALSE(CodeInRange(none, 255).has_value()) << none;
    }
}

TEST(Conversions, WordsOfHeadMemory) {
    EXPECT_EQ(ReverseBytes(0x11223344), 0x44332211u);
    EXPECT_EQ(SingleFromWord(0x3FC00000), 1.5);
    EXPECT_EQ(SingleFromWord(0xC1200000), -10.0);
}

}  // namespace

// Converter codes to engineering values and back, and the main temperature's thermistor with the
// circuits around it. All arithmetic is in double precision.
#pragma once

#include <cstdint>
#include <optional>

// Steps of the converters: exact powers of two.
inline constexpr double kAdcStep = 1.0 / 4096;  // 12-bit converters
inline constexpr double kDacStep = 1.0 / 1024;  // 10-bit converter
inline constexpr double kPotStep = 1.0 / 256;   // 8-bit potentiometers
inline constexpr uint32_t kDacCodeMask = 0x3FF;
// A divisor whose magnitude is below this counts as zero: the reading becomes 0.0, the setting
// is skipped.
inline constexpr double kZeroGuard = 1e-15;

// Thermistor (Steinhart-Hart with the natural logarithm).
inline constexpr double kThermistorA = 1.1279e-3;
inline constexpr double kThermistorB = 2.3429e-4;
inline constexpr double kThermistorC = 8.7298e-8;
inline constexpr double kAbsoluteZero = 273.15;

// Circuits around it.
inline constexpr double kReferenceVolts = 5.0;
inline constexpr double kDividerOhm = 10000.0;
inline constexpr double kPotOhm = 10000.0;
inline constexpr double kPotSteps = 256.0;
inline constexpr double kWiperOhm = 75.0;
inline constexpr double kSetpointSeriesOhm = 24900.0;
inline constexpr double kSetpointParallelOhm = 33200.0;

double AdcCodeToValue(uint32_t code, double fullScale);
double DacWordToValue(uint32_t word, double fullScale);  // low 10 bits
double PotCodeToValue(uint32_t code, double fullScale);

// The elapsed-time counter as read (bytes in bus order, least significant first on the device),
// in hours; it counts quarter seconds.
double CounterToHours(uint32_t counterAsRead);
// A head-memory time word (signed quarter seconds, all bits set meaning none) in hours.
double HeadTimeToHours(uint32_t word);

double ThermistorOhmToDegC(double ohm);
// 12-bit code of the thermistor divider.
double DividerCodeToDegC(uint32_t code);
// 8-bit code of the main temperature set-point potentiometer.
double PotCodeToDegC(uint32_t code);
// The thermistor's resistance by bisection between 1 kOhm and 20 kOhm; a temperature outside
// that span gives about 19998 ohm.
double ConvertThermistorDegCToOhm(double degC);
// The set-point potentiometer code for a temperature; it may lie outside 0-255, which the
// potentiometer write refuses. Nothing when the conversion degenerates.
std::optional<int32_t> DegCToPotCode(double degC);

// Truncation toward zero; "Invalid data" when the value is not finite or does not fit.
int32_t TruncateToInt32(double value);
// Truncation toward zero when the value is finite and the result lies in 0..max.
std::optional<uint32_t> CodeInRange(double value, uint32_t max);

uint32_t ReverseBytes(uint32_t word);
// A 32-bit word holding an IEEE 754 single, widened.
double SingleFromWord(uint32_t word);

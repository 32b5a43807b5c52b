#include "heads/conversions.h"

#include <array>
#include <bit>
#include <cmath>

#include "base/failure_message.h"

namespace {

// The span the thermistor's resistance is searched in, on the logarithm, and the tolerance.
const double kBisectionLow = std::log(1000.0);
const double kBisectionHigh = std::log(20000.0);
constexpr double kBisectionTolerance = 1e-4;

// Cubic in ln(r) whose root is the resistance at a temperature; coefficients by ascending power.
double EvaluateCubic(const std::array<double, 4> &coefficients, double x) {
    double sum = 0.0;
    for (size_t i = 0; i < coefficients.size(); ++i) {
        sum += coefficients[i] * std::pow(x, static_cast<double>(i));
    }
    return sum;
}

}  // namespace

double AdcCodeToValue(uint32_t code, double fullScale) { return code * fullScale * kAdcStep; }

double DacWordToValue(uint32_t word, double fullScale) {
    return (word & kDacCodeMask) * fullScale * kDacStep;
}

double PotCodeToValue(uint32_t code, double fullScale) { return code * fullScale * kPotStep; }

double CounterToHours(uint32_t counterAsRead) {
    return (ReverseBytes(counterAsRead) >> 2) / 3600.0;
}

double HeadTimeToHours(uint32_t word) {
    const int32_t quarterSeconds = std::bit_cast<int32_t>(word);
    return (quarterSeconds == -1 ? 0 : quarterSeconds) / 14400.0;
}

double ThermistorOhmToDegC(double ohm) {
    const double l = std::log(ohm);
    const double f = kThermistorC * l * l * l + (kThermistorB * l + kThermistorA);
    if (std::fabs(f) < kZeroGuard) return 0.0;
    return 1.0 / f - kAbsoluteZero;
}

double DividerCodeToDegC(uint32_t code) {
    const double d = kReferenceVolts - code * kReferenceVolts * kAdcStep;
    if (std::fabs(d) < kZeroGuard) return 0.0;
    return ThermistorOhmToDegC((kReferenceVolts / d - 1.0) * kDividerOhm);
}

double PotCodeToDegC(uint32_t code) {
    const double p = (kPotSteps - code) * kPotOhm * kPotStep + kWiperOhm;
    if (std::fabs(kSetpointParallelOhm - p) < kZeroGuard) return 0.0;
    return ThermistorOhmToDegC((p + kSetpointSeriesOhm) * kDividerOhm /
                               (kSetpointParallelOhm - p));
}

double ConvertThermistorDegCToOhm(double degC) {
    const double kelvin = degC + kAbsoluteZero;
    if (std::fabs(kelvin) < kZeroGuard) return 0.0;
    const std::array<double, 4> cubic = {kThermistorA - 1.0 / kelvin, kThermistorB, 0.0,
                                         kThermistorC};
    double lo = kBisectionLow;
    double hi = kBisectionHigh;
    double mid = (lo + hi) * 0.5;
    while (std::fabs(hi - lo) > kBisectionTolerance) {
        const double atLow = EvaluateCubic(cubic, lo);
        mid = (lo + hi) * 0.5;
        if (atLow * EvaluateCubic(cubic, mid) > 0) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return std::exp(mid);
}

std::optional<int32_t> DegCToPotCode(double degC) {
    const double ohm = ConvertThermistorDegCToOhm(degC);
    if (std::fabs(ohm + kDividerOhm) < kZeroGuard) return std::nullopt;
    const double pot = (ohm * kSetpointParallelOhm - kSetpointSeriesOhm * kDividerOhm) /
                       (ohm + kDividerOhm);
    // The resistance lies within 0..20 kOhm, so the steps always fit; checked all the same.
    const int32_t steps = TruncateToInt32((pot - kWiperOhm) / kPotOhm * kPotSteps);
    return static_cast<int32_t>(kPotSteps) - steps;
}

int32_t TruncateToInt32(double value) {
    // Both bounds are exact doubles; every value strictly between them truncates into range.
    if (!(value > -2147483649.0 && value < 2147483648.0)) RaiseFailure(kInvalidData);
    return static_cast<int32_t>(value);
}

std::optional<uint32_t> CodeInRange(double value, uint32_t max) {
    if (!(value > -1.0 && value < max + 1.0)) return std::nullopt;
    return static_cast<uint32_t>(value);
}

uint32_t ReverseBytes(uint32_t word) {
    return (word >> 24) | ((word >> 8) & 0xFF00u) | ((word << 8) & 0xFF0000u) | (word << 24);
}

double SingleFromWord(uint32_t word) { return std::bit_cast<float>(word); }

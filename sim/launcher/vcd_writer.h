// The clock and data lines of an I2C bus written as a Value Change Dump (IEEE 1364), which
// GTKWave and PulseView open. Whole transactions are drawn bit by bit at 100 kHz, as the bridge's
// own I2C engine would clock them; line levels a bit-level front end reports are written as they
// come. Times are microseconds since the start, never going back: a transaction drawn while the
// clock runs ahead of real time pushes later changes back.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "bus/i2c_bus.h"

namespace sim {

class VcdWriter {
public:
    // Throws std::system_error when the file cannot be written.
    explicit VcdWriter(const std::string &path);
    ~VcdWriter();
    VcdWriter(const VcdWriter &) = delete;
    VcdWriter &operator=(const VcdWriter &) = delete;

    void Transaction(const I2cTransaction &seen);
    // `sinceClockRose`: the data level was set before the clock's last rise (see
    // BitLevelI2c::LineObserver), so the rise is written after it.
    void Lines(bool dataHigh, bool clockHigh, bool sinceClockRose);

private:
    // Steps of the drawing, each a half period of the clock.
    void Set(bool dataHigh, bool clockHigh);
    void Step() { now_ += kHalfPeriodUs; }
    void Start();
    void Byte(uint8_t value, bool acknowledged);
    void Stop();
    void CatchUp();  // the drawing's time to at least real time
    void WritePendingRise();

    static constexpr uint64_t kHalfPeriodUs = 5;

    std::mutex mutex_;
    std::FILE *file_ = nullptr;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    uint64_t now_ = 0;
    bool data_ = true, clock_ = true;
    // A clock rise not yet written, held back in case the data set before it comes next.
    bool riseHeld_ = false;
};

}  // namespace sim

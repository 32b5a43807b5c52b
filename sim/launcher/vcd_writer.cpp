#include "launcher/vcd_writer.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace sim {

namespace {

// The identifiers of the two lines in the dump.
constexpr char kClockId = '!';
constexpr char kDataId = '"';

}  // namespace

VcdWriter::VcdWriter(const std::string &path) : file_(std::fopen(path.c_str(), "w")) {
    if (file_ == nullptr) throw std::system_error(errno, std::generic_category(), path);
    std::fprintf(file_,
                 "$version mavozarp-sim $end\n"
                 "$timescale 1 us $end\n"
                 "$scope module bridge $end\n"
                 "$var wire 1 %c scl $end\n"
                 "$var wire 1 %c sda $end\n"
                 "$upscope $end\n"
                 "$enddefinitions $end\n"
                 "#0\n$dumpvars\n1%c\n1%c\n$end\n",
                 kClockId, kDataId, kClockId, kDataId);
    std::fflush(file_);
}

VcdWriter::~VcdWriter() {
    WritePendingRise();
    // One last time stamp, so that viewers show the final levels for a while.
    std::fprintf(file_, "#%llu\n", static_cast<unsigned long long>(now_ + kHalfPeriodUs));
    std::fclose(file_);
}

void VcdWriter::Set(bool dataHigh, bool clockHigh) {
    if (dataHigh == data_ && clockHigh == clock_) return;
    std::fprintf(file_, "#%llu\n", static_cast<unsigned long long>(now_));
    if (clockHigh != clock_) std::fprintf(file_, "%d%c\n", clockHigh ? 1 : 0, kClockId);
    if (dataHigh != data_) std::fprintf(file_, "%d%c\n", dataHigh ? 1 : 0, kDataId);
    data_ = dataHigh;
    clock_ = clockHigh;
}

void VcdWriter::CatchUp() {
    const auto real = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - start_)
                          .count();
    now_ = std::max(now_ + kHalfPeriodUs, static_cast<uint64_t>(real));
}

void VcdWriter::Start() {
    // From whatever the lines were left at: both released, then data falls under a high clock.
    Set(data_, true);
    Step();
    Set(true, true);
    Step();
    Set(false, true);
    Step();
    Set(false, false);
    Step();
}

// Eight bits, most significant first, and the acknowledge bit (low for an acknowledge).
void VcdWriter::Byte(uint8_t value, bool acknowledged) {
    for (int bit = 7; bit >= -1; --bit) {
        const bool level = bit >= 0 ? ((value >> bit) & 1) != 0 : !acknowledged;
        Set(level, false);
        Step();
        Set(level, true);
        Step();
        Set(level, false);
        Step();
    }
}

void VcdWriter::Stop() {
    Set(false, false);
    Step();
    Set(false, true);
    Step();
    Set(true, true);
    Step();
}

void VcdWriter::Transaction(const I2cTransaction &seen) {
    if (seen.bitLevel) return;  // its lines are written as they move
    std::lock_guard<std::mutex> lock(mutex_);
    WritePendingRise();
    CatchUp();
    Start();
    const bool plainRead = seen.reads && seen.written.empty();
    // Only the address is sent when nobody answers to it.
    const bool addressAcknowledged = seen.acknowledged || !seen.written.empty();
    Byte(static_cast<uint8_t>(seen.address | (plainRead ? 1 : 0)), addressAcknowledged);
    for (size_t i = 0; addressAcknowledged && i < seen.written.size(); ++i) {
        Byte(seen.written[i], seen.acknowledged || i + 1 < seen.written.size());
    }
    if (seen.acknowledged && seen.reads) {
        if (!plainRead) {
            Start();  // repeated start
            Byte(static_cast<uint8_t>(seen.address | 1), true);
        }
        // The master acknowledges every byte but the last.
        for (size_t i = 0; i < seen.read.size(); ++i) Byte(seen.read[i], i + 1 < seen.read.size());
    }
    Stop();
    std::fflush(file_);
}

void VcdWriter::WritePendingRise() {
    if (!riseHeld_) return;
    riseHeld_ = false;
    Set(data_, true);
}

void VcdWriter::Lines(bool dataHigh, bool clockHigh, bool sinceClockRose) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (riseHeld_ && sinceClockRose && clockHigh) {
        // The data first, then the held rise.
        riseHeld_ = false;
        Set(dataHigh, false);
        Step();
        Set(dataHigh, true);
        std::fflush(file_);
        return;
    }
    WritePendingRise();
    if (dataHigh == data_ && clockHigh == clock_) return;
    CatchUp();
    if (!clock_ && clockHigh && dataHigh == data_) {
        riseHeld_ = true;
        return;
    }
    Set(dataHigh, clockHigh);
    std::fflush(file_);
}

}  // namespace sim

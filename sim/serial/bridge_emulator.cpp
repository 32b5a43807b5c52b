#include "serial/bridge_emulator.h"

#include <algorithm>
#include <iterator>

namespace sim {

namespace {

constexpr uint8_t kDataLine = 0x10;
constexpr uint8_t kClockLine = 0x20;
constexpr uint8_t kProbeRegister = 0x00;
constexpr uint8_t kProbeAnswer = 0xF0;

constexpr bool IsReadAddress(uint8_t address) { return (address & 1) != 0; }

// One address with its count (and, for a write, its bytes) inside an I2C transfer frame.
struct Segment {
    uint8_t address;
    uint8_t count;
    std::span<const uint8_t> bytes;
};

enum class ScanResult { kIncomplete, kJunk, kFrame };

struct Scan {
    ScanResult result;
    size_t length;
};

// How long the transfer frame at the start of `bytes` is, as far as it has come.
Scan ScanTransfer(std::span<const uint8_t> bytes) {
    size_t at = 0;
    for (;;) {
        if (at >= bytes.size()) return {ScanResult::kIncomplete, 0};
        if (at > 0 && bytes[at] == 'P') return {ScanResult::kFrame, at + 1};
        if (bytes[at] != 'S') return {ScanResult::kJunk, 0};
        if (at + 3 > bytes.size()) return {ScanResult::kIncomplete, 0};
        const uint8_t address = bytes[at + 1];
        const uint8_t count = bytes[at + 2];
        at += 3 + (IsReadAddress(address) ? 0 : count);
    }
}

// The segments of a complete transfer frame.
std::vector<Segment> Segments(std::span<const uint8_t> frame) {
    std::vector<Segment> segments;
    size_t at = 0;
    while (frame[at] == 'S') {
        const uint8_t address = frame[at + 1];
        const uint8_t count = frame[at + 2];
        const size_t written = IsReadAddress(address) ? 0 : count;
        segments.push_back({address, count, frame.subspan(at + 3, written)});
        at += 3 + written;
    }
    return segments;
}

std::array<uint8_t, 256> InitialRegisters() {
    std::array<uint8_t, 256> registers{};
    registers[kProbeRegister] = kProbeAnswer;
    return registers;
}

}  // namespace

const BridgeEmulator::FrameKind BridgeEmulator::kFrameKinds[] = {
    {'S', 0, true, &BridgeEmulator::Transfer},
    {'O', 3, true, &BridgeEmulator::WriteGpio},
    {'I', 2, true, &BridgeEmulator::ReadGpio},
    {'W', 4, true, &BridgeEmulator::WriteInternalRegister},
    // Answered as soon as the register number is in, so the probe (no "P") is answered too; the
    // "P" that usually follows ends the frame on its own.
    {'R', 2, false, &BridgeEmulator::ReadInternalRegister},
    {'P', 1, true, &BridgeEmulator::EndOfFrame},
};

// Everything is set up in the initialisers: the line starts serving as soon as it exists.
BridgeEmulator::BridgeEmulator()
    : registers_(InitialRegisters()),
      line_([this](std::span<const uint8_t> piece) { return Receive(piece); }) {}

void BridgeEmulator::WithBus(const std::function<void(I2cBus &)> &action) {
    std::lock_guard lock(mutex_);
    action(bus_);
}

void BridgeEmulator::ObserveLines(BitLevelI2c::LineObserver observer) {
    std::lock_guard lock(mutex_);
    lines_.ObserveLines(std::move(observer));
}

void BridgeEmulator::HoldDataLow(unsigned clockPulses) {
    std::lock_guard lock(mutex_);
    lines_.HoldDataLow(clockPulses);
}

void BridgeEmulator::SetProbeAnswer(uint8_t value) {
    std::lock_guard lock(mutex_);
    registers_[kProbeRegister] = value;
}

std::vector<BridgeEmulator::Answer> BridgeEmulator::Receive(std::span<const uint8_t> piece) {
    std::lock_guard lock(mutex_);
    pending_.insert(pending_.end(), piece.begin(), piece.end());
    std::vector<Answer> answers;
    size_t at = 0;
    while (at < pending_.size()) {
        const std::span<const uint8_t> rest = std::span(pending_).subspan(at);
        const auto kind = std::find_if(std::begin(kFrameKinds), std::end(kFrameKinds),
                                       [&](const FrameKind &k) { return k.letter == rest[0]; });
        if (kind == std::end(kFrameKinds)) {
            ++at;
            continue;
        }
        Scan scan = kind->length == 0 ? ScanTransfer(rest) : Scan{ScanResult::kFrame, kind->length};
        if (scan.result == ScanResult::kFrame && scan.length > rest.size()) {
            scan.result = ScanResult::kIncomplete;
        }
        if (scan.result == ScanResult::kFrame && kind->endsWithP && rest[scan.length - 1] != 'P') {
            scan.result = ScanResult::kJunk;
        }
        if (scan.result == ScanResult::kIncomplete) break;
        if (scan.result == ScanResult::kJunk) {
            ++at;
            continue;
        }
        answers.push_back((this->*kind->serve)(rest.first(scan.length)));
        at += scan.length;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
    return answers;
}

BridgeEmulator::Answer BridgeEmulator::Transfer(std::span<const uint8_t> frame) {
    const std::vector<Segment> segments = Segments(frame);
    const Segment &last = segments.back();
    if (!IsReadAddress(last.address)) {
        if (segments.size() == 1) bus_.Write(last.address, last.bytes.data(), last.count);
        return {};
    }
    std::span<const uint8_t> pointer;
    if (segments.size() == 2 && !IsReadAddress(segments[0].address) &&
        (segments[0].address | 1) == last.address) {
        pointer = segments[0].bytes;
    } else if (segments.size() != 1) {
        return {};
    }
    Answer data(last.count);
    const bool acknowledged = bus_.WriteThenRead(last.address, pointer.data(),
                                                 static_cast<uint32_t>(pointer.size()),
                                                 data.data(), last.count);
    return acknowledged ? data : Answer{};
}

BridgeEmulator::Answer BridgeEmulator::WriteGpio(std::span<const uint8_t> frame) {
    gpioLatch_ = frame[1];
    lines_.Drive((gpioLatch_ & kDataLine) != 0, (gpioLatch_ & kClockLine) != 0);
    return {};
}

BridgeEmulator::Answer BridgeEmulator::ReadGpio(std::span<const uint8_t>) {
    const uint8_t levels = static_cast<uint8_t>((lines_.LookAtData() ? kDataLine : 0) |
                                                (lines_.ClockLevel() ? kClockLine : 0));
    return {static_cast<uint8_t>((gpioLatch_ & ~(kDataLine | kClockLine)) | levels)};
}

BridgeEmulator::Answer BridgeEmulator::WriteInternalRegister(std::span<const uint8_t> frame) {
    registers_[frame[1]] = frame[2];
    return {};
}

BridgeEmulator::Answer BridgeEmulator::ReadInternalRegister(std::span<const uint8_t> frame) {
    return {registers_[frame[1]]};
}

BridgeEmulator::Answer BridgeEmulator::EndOfFrame(std::span<const uint8_t>) { return {}; }

}  // namespace sim

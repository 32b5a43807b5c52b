#include "mpsse_i2c.h"

#include <algorithm>
#include <initializer_list>

namespace ftdi_adapter {

namespace {

// Opcodes of the MPSSE command set.
constexpr uint8_t kBytesOutOnFallingEdge = 0x11;  // MSB first; length - 1 (two bytes), the bytes
constexpr uint8_t kBitsOutOnFallingEdge = 0x13;   // MSB first; bits - 1, the byte
constexpr uint8_t kBytesInOnRisingEdge = 0x20;    // MSB first; length - 1 (two bytes)
constexpr uint8_t kBitsInOnRisingEdge = 0x22;     // MSB first; bits - 1
constexpr uint8_t kSetLowByte = 0x80;             // value, direction (1 = output)
constexpr uint8_t kReadLowByte = 0x81;
constexpr uint8_t kSetHighByte = 0x82;
constexpr uint8_t kLoopbackOn = 0x84;
constexpr uint8_t kLoopbackOff = 0x85;
constexpr uint8_t kSetClockDivisor = 0x86;  // low byte, high byte
constexpr uint8_t kSendImmediate = 0x87;
constexpr uint8_t kDivideBy5On = 0x8B;
constexpr uint8_t kThreePhaseOn = 0x8C;
constexpr uint8_t kAdaptiveClockingOff = 0x97;
constexpr uint8_t kDriveOnlyZero = 0x9E;  // low byte pins, high byte pins: 1 = open drain
// An opcode the engine does not know: it answers 0xFA and the opcode, which tells that command
// and answer streams are in step.
constexpr uint8_t kProbe = 0xAA;
constexpr uint8_t kBadCommandAnswer = 0xFA;

// Pins of the low byte.
constexpr uint8_t kScl = 0x01;
constexpr uint8_t kSdaOut = 0x02;
constexpr uint8_t kSdaIn = 0x04;

// Each line change of a start or stop is issued this many times, so that the levels last long
// enough for the set-up and hold times of a start and a stop.
constexpr int kLineHoldRepeats = 4;
// How long set-up answers and line readings may take.
constexpr uint32_t kEngineAnswerTimeoutMs = 1000;
// Bytes read per round trip: well below the chips' smallest answer buffer, so the engine never
// stalls on a full buffer while the command stream is still being sent.
constexpr uint32_t kReadChunk = 256;
constexpr uint32_t kBitsPerByteWithAcknowledge = 9;
constexpr uint32_t kReadSlackMs = 100;

enum class Sda { kReleased, kLow };

// A command stream under construction.
class Commands {
public:
    Commands &Add(std::initializer_list<uint8_t> bytes) {
        // One by one: GCC 12 at -O3 takes a range insert into a vector of bytes for an overflow
        // that is not there (-Wstringop-overflow), and the bench preset makes warnings errors.
        for (const uint8_t byte : bytes) bytes_.push_back(byte);
        return *this;
    }
    Commands &Lines(bool sclHigh, Sda sda, int repeats = 1) {
        const uint8_t value = (sclHigh ? kScl : 0) | (sda == Sda::kReleased ? kSdaOut : 0);
        const uint8_t direction = kScl | (sda == Sda::kLow ? kSdaOut : 0);
        for (int i = 0; i < repeats; ++i) Add({kSetLowByte, value, direction});
        return *this;
    }
    Commands &Start() {
        return Lines(true, Sda::kReleased, kLineHoldRepeats)
            .Lines(true, Sda::kLow, kLineHoldRepeats)
            .Lines(false, Sda::kLow, kLineHoldRepeats);
    }
    Commands &Stop() {
        return Lines(false, Sda::kLow, kLineHoldRepeats)
            .Lines(true, Sda::kLow, kLineHoldRepeats)
            .Lines(true, Sda::kReleased, kLineHoldRepeats);
    }
    // The byte out, then SDA released for the device's acknowledgement, read back as the lowest
    // bit of one answer byte. Where the chip makes SDA open drain, the byte goes out whole.
    // Elsewhere the first seven bits are driven both ways and the last one by SDA low or
    // released, so that SDA is never driven high when the device takes it for its acknowledgement.
    Commands &ByteWithAcknowledge(uint8_t byte, bool openDrain) {
        Lines(false, Sda::kLow);
        if (openDrain) {
            Add({kBytesOutOnFallingEdge, 0x00, 0x00, byte});
        } else {
            const bool lastBitHigh = (byte & 0x01) != 0;
            Add({kBitsOutOnFallingEdge, 0x06, byte})
                .Lines(false, lastBitHigh ? Sda::kReleased : Sda::kLow)
                .Add({kBitsOutOnFallingEdge, 0x00, static_cast<uint8_t>(byte << 7)});
        }
        return Lines(false, Sda::kReleased).Add({kBitsInOnRisingEdge, 0x00, kSendImmediate});
    }
    // A byte read with SDA released, then acknowledged by driving SDA low for one clock, or not
    // acknowledged by leaving it released.
    Commands &ByteRead(bool acknowledge) {
        Lines(false, Sda::kReleased).Add({kBytesInOnRisingEdge, 0x00, 0x00});
        if (acknowledge) return Lines(false, Sda::kLow).Add({kBitsOutOnFallingEdge, 0x00, 0x00});
        return Add({kBitsOutOnFallingEdge, 0x00, 0x80});
    }
    const std::vector<uint8_t> &Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace

uint32_t ClockFrequency(Chip chip, uint32_t divisor) {
    if (divisor > kMaxClockDivisor) return 0;
    constexpr uint32_t kEngineClockHz = 12000000;
    const uint32_t twoPhase = kEngineClockHz / ((1 + divisor) * 2);
    return TraitsOf(chip).highSpeed ? twoPhase * 2 / 3 : twoPhase;
}

Status MpsseI2cMaster::Initialise(uint32_t divisor) {
    if (divisor > kMaxClockDivisor) return Status::kInvalidArgument;
    Status status = link_.ResetEngine();
    if (status != Status::kOk) return status;
    status = link_.Send({kProbe, kSendImmediate});
    uint8_t answer[2] = {};
    if (status == Status::kOk) {
        status = link_.Receive(answer, sizeof answer, kEngineAnswerTimeoutMs);
    }
    if (status != Status::kOk) return status;
    if (answer[0] != kBadCommandAnswer || answer[1] != kProbe) return Status::kEngineOutOfStep;
    Commands setup;
    const ChipTraits &traits = TraitsOf(chip_);
    if (traits.highSpeed) setup.Add({kDivideBy5On, kAdaptiveClockingOff, kThreePhaseOn});
    if (traits.openDrain) setup.Add({kDriveOnlyZero, kScl | kSdaOut, 0x00});
    setup.Add({kLoopbackOff, kSetHighByte, 0x00, 0x00}).Lines(true, Sda::kReleased);
    status = link_.Send(setup.Bytes());
    return status == Status::kOk ? SetClock(divisor) : status;
}

Status MpsseI2cMaster::SetClock(uint32_t divisor) {
    if (divisor > kMaxClockDivisor) return Status::kInvalidArgument;
    const Status status = link_.Send({kSetClockDivisor, static_cast<uint8_t>(divisor & 0xFF),
                                      static_cast<uint8_t>(divisor >> 8)});
    if (status == Status::kOk) divisor_ = divisor;
    return status;
}

Status MpsseI2cMaster::SetLoopback(bool on) {
    return link_.Send({on ? kLoopbackOn : kLoopbackOff});
}

Status MpsseI2cMaster::CheckBusIdle() {
    Status status = link_.Send({kReadLowByte, kSendImmediate});
    uint8_t levels = 0;
    if (status == Status::kOk) status = link_.Receive(&levels, 1, kEngineAnswerTimeoutMs);
    if (status != Status::kOk) return status;
    return (levels & (kScl | kSdaIn)) == (kScl | kSdaIn) ? Status::kOk : Status::kBusHeldLow;
}

Status MpsseI2cMaster::WriteBytes(const uint8_t *bytes, uint32_t count, AckCheck ack,
                                  Status refusal) {
    for (uint32_t i = 0; i < count; ++i) {
        Status status = link_.Send(
            Commands().ByteWithAcknowledge(bytes[i], TraitsOf(chip_).openDrain).Bytes());
        uint8_t acknowledge = 0;
        if (status == Status::kOk) status = link_.Receive(&acknowledge, 1, ack.timeoutMs);
        if (status != Status::kOk) return status;
        if (ack.checked && (acknowledge & 0x01) != 0) return refusal;
    }
    return Status::kOk;
}

Status MpsseI2cMaster::Begin(bool repeated, const uint8_t *bytes, uint32_t count, AckCheck ack) {
    Commands start;
    if (repeated) start.Lines(false, Sda::kReleased);
    Status status = link_.Send(start.Start().Bytes());
    if (status == Status::kOk) status = WriteBytes(bytes, 1, ack, Status::kAddressNotAcknowledged);
    if (status == Status::kOk) {
        status = WriteBytes(bytes + 1, count - 1, ack, Status::kDataNotAcknowledged);
    }
    return status;
}

Status MpsseI2cMaster::ReadBytes(uint8_t *data, uint32_t count) {
    const uint32_t frequency = std::max<uint32_t>(Frequency(), 1);
    for (uint32_t done = 0; done < count;) {
        const uint32_t chunk = std::min(kReadChunk, count - done);
        Commands reads;
        for (uint32_t i = 0; i < chunk; ++i) reads.ByteRead(done + i + 1 < count);
        reads.Add({kSendImmediate});
        const uint32_t busTimeMs = static_cast<uint32_t>(
            uint64_t{chunk} * kBitsPerByteWithAcknowledge * 1000 / frequency);
        Status status = link_.Send(reads.Bytes());
        if (status == Status::kOk) {
            status = link_.Receive(data + done, chunk, busTimeMs * 2 + kReadSlackMs);
        }
        if (status != Status::kOk) return status;
        done += chunk;
    }
    return Status::kOk;
}

Status MpsseI2cMaster::Stop() { return link_.Send(Commands().Stop().Bytes()); }

Status MpsseI2cMaster::Write(const uint8_t *control, uint32_t controlCount, AckCheck controlAck,
                             const uint8_t *data, uint32_t dataCount, AckCheck dataAck) {
    Status status = CheckBusIdle();
    if (status != Status::kOk) return status;
    status = Begin(false, control, controlCount, controlAck);
    if (status == Status::kOk) {
        status = WriteBytes(data, dataCount, dataAck, Status::kDataNotAcknowledged);
    }
    // The stop ends the transaction also after a refused byte; the first failure is the answer.
    const Status stopped = Stop();
    return status != Status::kOk ? status : stopped;
}

Status MpsseI2cMaster::Read(const uint8_t *control, uint32_t controlCount, AckCheck controlAck,
                            ReadTurn turn, uint8_t *data, uint32_t dataCount) {
    Status status = CheckBusIdle();
    if (status != Status::kOk) return status;
    status = Begin(false, control, controlCount, controlAck);
    if (status == Status::kOk && turn == ReadTurn::kStopThenStart) status = Stop();
    const uint8_t readingAddress = control[0] | 0x01;
    if (status == Status::kOk) {
        status = Begin(turn == ReadTurn::kRepeatedStart, &readingAddress, 1, controlAck);
    }
    if (status == Status::kOk) status = ReadBytes(data, dataCount);
    const Status stopped = Stop();
    return status != Status::kOk ? status : stopped;
}

}  // namespace ftdi_adapter

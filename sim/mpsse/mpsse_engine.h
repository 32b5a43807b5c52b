// A model of an FTDI MPSSE engine (low byte ADBUS0..7 and high byte ACBUS0..7) wired as an I2C
// master: ADBUS0 (TCK) is SCL, ADBUS1 (DO) and ADBUS2 (DI) are both SDA. It
// executes the command bytes it is sent against a bit-level I2C bus and queues the bytes the
// engine would answer.
//
// It knows the subset of the command set an I2C master needs: set and read the data bits, clock
// bytes and bits out on the falling edge and in on the rising edge (MSB first), loopback on and
// off, the clock divisor, send immediate; on the high-speed chips divide-by-5, three-phase and
// adaptive clocking, on the FT232H drive-only-zero (0x9E); and the unknown-opcode answer
// (0xFA, opcode) for 0xAA, 0xAB and the opcodes of that list the chip does not have. Anything
// else, a clock driven on a pin that is not an output, and the modes it does not model (adaptive
// clocking on, three-phase off, divide-by-5 off) are refused with MpsseRefusal, so that an
// adapter relying on something the model does not check fails loudly instead of passing.
//
// It counts what a real bus would suffer from: SDA or SCL driven high (not merely released),
// and SDA driven high while the device pulls it low.
#pragma once

#include <cstdint>
#include <deque>
#include <stdexcept>
#include <vector>

#include "bus/bit_level_i2c.h"

namespace sim {

class MpsseRefusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the chip's engine has beyond the FT2232D's.
struct EngineAbilities {
    bool highSpeed = true;      // divide-by-5, three-phase and adaptive clocking
    bool driveOnlyZero = false;  // 0x9E
};

struct LineFaults {
    uint64_t drivenHigh = 0;      // times SDA or SCL began to be driven high
    uint64_t sdaContention = 0;  // times SDA began to be driven high while pulled low
};

class MpsseEngine {
public:
    explicit MpsseEngine(BitLevelI2c &bus, EngineAbilities abilities = {})
        : bus_(bus), abilities_(abilities) {}

    // Executes every complete command of `bytes` (a command may continue in the next call) and
    // queues the answers. Throws MpsseRefusal; the engine is then out of use until Reset.
    void Execute(const uint8_t *bytes, size_t count);
    // Takes up to `count` queued answer bytes.
    size_t TakeAnswer(uint8_t *to, size_t count);
    // The chip's bit mode set afresh: commands and answers dropped, settings back to their
    // power-on values.
    void Reset();

    uint16_t Divisor() const { return divisor_; }
    bool Loopback() const { return loopback_; }
    const LineFaults &Faults() const { return faults_; }

private:
    // The length of the command at the start of `pending_` (0 while incomplete).
    size_t CompleteLength() const;
    void Run(const uint8_t *command);
    void SetLowByte(uint8_t value, uint8_t direction);
    void ClockOut(uint8_t byte, unsigned bits);
    uint8_t ClockIn(unsigned bits);
    void Drive();
    bool Sda() const;  // what DI sees
    void RequireClockable() const;
    bool Has(uint8_t opcode) const;

    BitLevelI2c &bus_;
    EngineAbilities abilities_;
    LineFaults faults_;
    bool sdaDrivenHigh_ = false, sclDrivenHigh_ = false, contention_ = false;
    uint8_t openDrainLow_ = 0;
    std::vector<uint8_t> pending_;
    std::deque<uint8_t> answer_;
    bool broken_ = false;
    uint8_t lowValue_ = 0, lowDirection_ = 0, highValue_ = 0, highDirection_ = 0;
    uint16_t divisor_ = 0;
    bool loopback_ = false, divideBy5_ = true, threePhase_ = false, adaptive_ = false;
};

}  // namespace sim

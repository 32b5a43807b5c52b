#include "mpsse/mpsse_engine.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

namespace sim {

namespace {

constexpr uint8_t kTck = 0x01;  // SCL
constexpr uint8_t kDo = 0x02;   // SDA, driven
constexpr uint8_t kDi = 0x04;   // SDA, read
constexpr uint8_t kBadCommandAnswer = 0xFA;

std::string Hex(uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

enum class Needs { kNothing, kHighSpeed, kDriveOnlyZero };

// One opcode of the subset: its length before any payload, whether bytes 1-2 give a payload of
// (value + 1) bytes that follows, and what a chip needs to have it (else it is unknown there).
struct Opcode {
    uint8_t opcode;
    size_t length;
    bool bytePayload = false;
    Needs needs = Needs::kNothing;
};

constexpr std::array kOpcodes = {
    Opcode{.opcode = 0x11, .length = 3, .bytePayload = true},  // bytes out, falling edge, MSB
    Opcode{.opcode = 0x13, .length = 3},                       // bits out, falling edge, MSB
    Opcode{.opcode = 0x20, .length = 3},                       // bytes in, rising edge, MSB
    Opcode{.opcode = 0x22, .length = 2},                       // bits in, rising edge, MSB
    Opcode{.opcode = 0x80, .length = 3},                       // set low byte
    Opcode{.opcode = 0x81, .length = 1},                       // read low byte
    Opcode{.opcode = 0x82, .length = 3},                       // set high byte
    Opcode{.opcode = 0x84, .length = 1},                       // loopback on
    Opcode{.opcode = 0x85, .length = 1},                       // loopback off
    Opcode{.opcode = 0x86, .length = 3},                       // clock divisor
    Opcode{.opcode = 0x87, .length = 1},                       // send immediate
    Opcode{.opcode = 0x8A, .length = 1, .needs = Needs::kHighSpeed},  // divide-by-5 off
    Opcode{.opcode = 0x8B, .length = 1, .needs = Needs::kHighSpeed},  // divide-by-5 on
    Opcode{.opcode = 0x8C, .length = 1, .needs = Needs::kHighSpeed},  // three-phase on
    Opcode{.opcode = 0x8D, .length = 1, .needs = Needs::kHighSpeed},  // three-phase off
    Opcode{.opcode = 0x96, .length = 1, .needs = Needs::kHighSpeed},  // adaptive clocking on
    Opcode{.opcode = 0x97, .length = 1, .needs = Needs::kHighSpeed},  // adaptive clocking off
    Opcode{.opcode = 0x9E, .length = 3, .needs = Needs::kDriveOnlyZero},  // open drain pins
    Opcode{.opcode = 0xAA, .length = 1},                       // unknown: answered 0xFA 0xAA
    Opcode{.opcode = 0xAB, .length = 1},                       // unknown: answered 0xFA 0xAB
};

const Opcode *FindOpcode(uint8_t opcode) {
    const auto found = std::find_if(kOpcodes.begin(), kOpcodes.end(),
                                    [&](const Opcode &known) { return known.opcode == opcode; });
    return found == kOpcodes.end() ? nullptr : &*found;
}

}  // namespace

void MpsseEngine::Execute(const uint8_t *bytes, size_t count) {
    if (broken_) throw MpsseRefusal("MPSSE model: refused earlier, reset first");
    pending_.insert(pending_.end(), bytes, bytes + count);
    for (size_t length; (length = CompleteLength()) > 0;) {
        try {
            Run(pending_.data());
        } catch (const MpsseRefusal &) {
            broken_ = true;
            throw;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(length));
    }
}

size_t MpsseEngine::CompleteLength() const {
    if (pending_.empty()) return 0;
    const Opcode *opcode = FindOpcode(pending_[0]);
    if (opcode == nullptr) {
        throw MpsseRefusal("MPSSE model: opcode " + Hex(pending_[0]) + " is not modelled");
    }
    // An opcode the chip lacks is one byte, answered as unknown.
    if (!Has(pending_[0])) return 1;
    if (pending_.size() < opcode->length) return 0;
    const size_t payload =
        opcode->bytePayload ? (size_t{pending_[1]} | size_t{pending_[2]} << 8) + 1 : 0;
    return pending_.size() < opcode->length + payload ? 0 : opcode->length + payload;
}

size_t MpsseEngine::TakeAnswer(uint8_t *to, size_t count) {
    const size_t taken = std::min(count, answer_.size());
    std::copy_n(answer_.begin(), taken, to);
    answer_.erase(answer_.begin(), answer_.begin() + static_cast<ptrdiff_t>(taken));
    return taken;
}

void MpsseEngine::Reset() {
    pending_.clear();
    answer_.clear();
    broken_ = false;
    lowValue_ = lowDirection_ = highValue_ = highDirection_ = 0;
    divisor_ = 0;
    loopback_ = false;
    divideBy5_ = true;
    threePhase_ = false;
    adaptive_ = false;
    openDrainLow_ = 0;
    Drive();
}

bool MpsseEngine::Has(uint8_t opcode) const {
    switch (FindOpcode(opcode)->needs) {
        case Needs::kHighSpeed:
            return abilities_.highSpeed;
        case Needs::kDriveOnlyZero:
            return abilities_.driveOnlyZero;
        default:
            return true;
    }
}

void MpsseEngine::Run(const uint8_t *command) {
    if (!Has(command[0])) {
        answer_.push_back(kBadCommandAnswer);
        answer_.push_back(command[0]);
        return;
    }
    switch (command[0]) {
        case 0x11: {
            const size_t count = (size_t{command[1]} | size_t{command[2]} << 8) + 1;
            for (size_t i = 0; i < count; ++i) ClockOut(command[3 + i], 8);
            return;
        }
        case 0x13:
            ClockOut(command[2], command[1] + 1u);
            return;
        case 0x20: {
            const size_t count = (size_t{command[1]} | size_t{command[2]} << 8) + 1;
            for (size_t i = 0; i < count; ++i) answer_.push_back(ClockIn(8));
            return;
        }
        case 0x22:
            answer_.push_back(ClockIn(command[1] + 1u));
            return;
        case 0x80:
            SetLowByte(command[1], command[2]);
            return;
        case 0x81: {
            // Outputs read back what they drive, inputs float high, and the I2C lines show the bus.
            uint8_t levels =
                static_cast<uint8_t>((lowValue_ | ~lowDirection_) & ~(kTck | kDo | kDi));
            if (bus_.ClockLevel()) levels |= kTck;
            if (bus_.DataLevel()) levels |= kDo | kDi;
            answer_.push_back(levels);
            return;
        }
        case 0x82:
            highValue_ = command[1];
            highDirection_ = command[2];
            return;
        case 0x84:
        case 0x85:
            loopback_ = command[0] == 0x84;
            return;
        case 0x86:
            divisor_ = static_cast<uint16_t>(command[1] | command[2] << 8);
            return;
        case 0x87:
            return;  // the answers are always available at once
        case 0x8A:
        case 0x8B:
            divideBy5_ = command[0] == 0x8B;
            return;
        case 0x8C:
        case 0x8D:
            threePhase_ = command[0] == 0x8C;
            return;
        case 0x96:
        case 0x97:
            adaptive_ = command[0] == 0x96;
            return;
        case 0x9E:
            openDrainLow_ = command[1];
            Drive();
            return;
        default:  // the opcodes the engine does not know and answers so
            answer_.push_back(kBadCommandAnswer);
            answer_.push_back(command[0]);
            return;
    }
}

void MpsseEngine::SetLowByte(uint8_t value, uint8_t direction) {
    if ((direction & kDi) != 0) throw MpsseRefusal("MPSSE model: DI (ADBUS2) made an output");
    lowValue_ = value;
    lowDirection_ = direction;
    Drive();
}

void MpsseEngine::Drive() {
    const bool sdaHigh = (lowDirection_ & kDo) == 0 || (lowValue_ & kDo) != 0;
    const bool sclHigh = (lowDirection_ & kTck) == 0 || (lowValue_ & kTck) != 0;
    bus_.Drive(sdaHigh, sclHigh);
    // A pin drives high when it is an output at 1 that is not open drain.
    const auto drivenHigh = [&](uint8_t pin) {
        return (lowDirection_ & lowValue_ & ~openDrainLow_ & pin) != 0;
    };
    const bool sda = drivenHigh(kDo), scl = drivenHigh(kTck);
    if ((sda && !sdaDrivenHigh_) || (scl && !sclDrivenHigh_)) ++faults_.drivenHigh;
    const bool contention = sda && !bus_.DataLevel();
    if (contention && !contention_) ++faults_.sdaContention;
    sdaDrivenHigh_ = sda;
    sclDrivenHigh_ = scl;
    contention_ = contention;
}

bool MpsseEngine::Sda() const {
    if (loopback_) return (lowValue_ & kDo) != 0;
    return bus_.LookAtData();
}

void MpsseEngine::RequireClockable() const {
    if ((lowDirection_ & kTck) == 0) throw MpsseRefusal("MPSSE model: clocking with TCK an input");
    if ((lowValue_ & kTck) != 0) throw MpsseRefusal("MPSSE model: clocking from TCK high");
    if (abilities_.highSpeed && (!threePhase_ || adaptive_ || !divideBy5_)) {
        throw MpsseRefusal("MPSSE model: clocking without three-phase, divide-by-5 on and "
                           "adaptive clocking off");
    }
}

// Three phases a bit: the data set with the clock low, the clock raised, the clock lowered.
void MpsseEngine::ClockOut(uint8_t byte, unsigned bits) {
    RequireClockable();
    for (unsigned i = 0; i < bits; ++i) {
        const bool one = ((byte >> (7 - i)) & 1) != 0;
        lowValue_ = static_cast<uint8_t>((lowValue_ & ~kDo) | (one ? kDo : 0));
        Drive();
        lowValue_ |= kTck;
        Drive();
        lowValue_ &= static_cast<uint8_t>(~kTck);
        Drive();
    }
}

// Bits shift in from the lowest end: after `bits` bits the first is at bit `bits - 1`.
uint8_t MpsseEngine::ClockIn(unsigned bits) {
    RequireClockable();
    uint8_t shifted = 0;
    for (unsigned i = 0; i < bits; ++i) {
        lowValue_ |= kTck;
        Drive();
        shifted = static_cast<uint8_t>(shifted << 1 | (Sda() ? 1 : 0));
        lowValue_ &= static_cast<uint8_t>(~kTck);
        Drive();
    }
    return shifted;
}

}  // namespace sim

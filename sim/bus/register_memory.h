// A device that is nothing but numbered bytes behind a register pointer, as serial memories are:
// the first bytes written after a start select the register (most significant byte first), and
// further bytes are written to or read from consecutive registers. The pointer wraps at the end of
// the memory, as it does in a real part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bus/i2c_bus.h"

namespace sim {

class RegisterMemory : public I2cDevice {
public:
    // `pointerBytes` (1 to 4) select a register; every byte starts at zero.
    RegisterMemory(size_t size, unsigned pointerBytes);

    void Start(bool read) override;
    bool WriteByte(uint8_t value) override;
    uint8_t ReadByte() override;

    // Contents as tests and presets see them; out-of-range offsets throw std::out_of_range.
    void Load(size_t offset, std::span<const uint8_t> bytes);
    std::vector<uint8_t> Contents(size_t offset, size_t count) const;

    size_t Pointer() const { return pointer_; }

private:
    void Advance() { pointer_ = (pointer_ + 1) % bytes_.size(); }

    std::vector<uint8_t> bytes_;
    unsigned pointerBytes_;
    unsigned pointerBytesSeen_ = 0;  // of the transaction under way
    size_t pointer_ = 0;
};

}  // namespace sim

#include "chips.h"

#include <algorithm>
#include <array>

namespace ftdi_adapter {

namespace {

// The FT2232C and FT2232D share a release; channel B of theirs is a plain UART. The FT4232H has
// engines on A and B only; C and D are UARTs.
constexpr std::array kChips = {
    ChipTraits{.release = 0x0500, .chip = Chip::kFt2232D, .channels = 2, .mpsseChannels = 1,
               .highSpeed = false, .openDrain = false},
    ChipTraits{.release = 0x0700, .chip = Chip::kFt2232H, .channels = 2, .mpsseChannels = 2,
               .highSpeed = true, .openDrain = false},
    ChipTraits{.release = 0x0800, .chip = Chip::kFt4232H, .channels = 4, .mpsseChannels = 2,
               .highSpeed = true, .openDrain = false},
    ChipTraits{.release = 0x0900, .chip = Chip::kFt232H, .channels = 1, .mpsseChannels = 1,
               .highSpeed = true, .openDrain = true},
};

}  // namespace

const ChipTraits *ChipOfRelease(uint16_t release) {
    const auto found = std::find_if(kChips.begin(), kChips.end(), [&](const ChipTraits &traits) {
        return traits.release == release;
    });
    return found == kChips.end() ? nullptr : &*found;
}

const ChipTraits &TraitsOf(Chip chip) {
    return *std::find_if(kChips.begin(), kChips.end(),
                         [&](const ChipTraits &traits) { return traits.chip == chip; });
}

}  // namespace ftdi_adapter

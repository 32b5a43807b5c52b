// The FTDI chips the adapter library knows, told apart by the release number (bcdDevice) of their
// USB device descriptor, and what each offers: how many channels, how many of them (from A on)
// have an MPSSE engine, and what that engine can do. A chip not listed has no engine to use (the
// FT232R, 0x0600, for example), and is never opened.
#pragma once

#include <cstdint>

namespace ftdi_adapter {

enum class Chip { kFt2232D, kFt2232H, kFt4232H, kFt232H };

struct ChipTraits {
    uint16_t release;
    Chip chip;
    unsigned channels;       // interfaces A, B, ...
    unsigned mpsseChannels;  // those with an engine, from A on
    // Runs the engine from 60 MHz (12 MHz with the divide-by-5 on) and knows three-phase and
    // adaptive clocking; the others run it from 12 MHz without them.
    bool highSpeed;
    // Knows the drive-only-zero command (0x9E), which makes chosen pins open drain in the chip.
    bool openDrain;
};

// Null for a chip without an MPSSE engine.
const ChipTraits *ChipOfRelease(uint16_t release);
const ChipTraits &TraitsOf(Chip chip);

}  // namespace ftdi_adapter

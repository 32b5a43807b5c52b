// Test controls of the adapter library's build over the MPSSE engine model, beside those it shares
// with the emulated adapter library (adapter/emulated_adapter.h: reset, plug a supply, plug and
// unplug, the handle an adapter is open under).
//
// The model holds FTDI chips as the USB side shows them, told apart by their release number
// (bcdDevice), each with its channels as the chip has them: the FT2232C/D (0x0500) two, an
// engine on A only; the FT232R (0x0600) one UART; the FT2232H (0x0700) two engines; the FT4232H
// (0x0800) four channels, engines on A and B; the FT232H (0x0900) one engine, which alone knows
// drive-only-zero. Every channel is an adapter of its own, numbered in plug order, with a virtual
// supply wired to it; EmulatedAdapter_PlugSupply plugs an FT232H. Plugging and unplugging one
// channel's adapter plugs and unplugs its whole chip.
//
// Opening a channel without an engine works, as on real USB; every byte written to a channel not
// in MPSSE mode is counted as what it would be there: bytes sent out of a UART's TXD pin.
#pragma once

#include <cstdint>

#include "adapter/emulated_adapter.h"

extern "C" {

// Plugs a chip of that release with a supply on each channel, its head preset from `presets`
// (comma-separated, channel A first; a missing or empty one gives a supply without head). Returns
// the adapter number of channel A, the others following; EMULATED_ADAPTER_NONE for a release the
// model does not know or an unknown preset.
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL MpsseModel_PlugChip(uint16_t release,
                                                                   const char *presets);

// The adapter's engine stops answering (0) or answers again (non-zero), as a chip whose engine
// has hung. 0, or -1 for an unknown adapter.
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL MpsseModel_SetAnswering(uint32_t adapter,
                                                                      int32_t answering);

// The adapter is pulled out at its `sends`-th command write from now (0: the next one), in the
// middle of whatever transfer that write belongs to. 0, or -1 for an unknown adapter.
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL MpsseModel_UnplugAfterSends(uint32_t adapter,
                                                                          uint32_t sends);

// What went wrong on the wires since the last reset, for one adapter or (EMULATED_ADAPTER_NONE)
// all of them.
struct MpsseModelCounts {
    uint64_t timeOutWaits;          // answers waited for that never came
    uint64_t bytesWithoutMpsse;     // bytes written to a channel not in MPSSE mode
    uint64_t linesDrivenHigh;       // SDA or SCL began to be driven high, not released
    uint64_t sdaContentions;        // SDA began to be driven high while the device pulled it low
};
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL MpsseModel_GetCounts(uint32_t adapter,
                                                                   MpsseModelCounts *counts);

using MpsseModel_PlugChipFn = uint32_t(MAVOZARP_CALL *)(uint16_t, const char *);
using MpsseModel_SetAnsweringFn = int32_t(MAVOZARP_CALL *)(uint32_t, int32_t);
using MpsseModel_UnplugAfterSendsFn = int32_t(MAVOZARP_CALL *)(uint32_t, uint32_t);
using MpsseModel_GetCountsFn = int32_t(MAVOZARP_CALL *)(uint32_t, MpsseModelCounts *);

}  // extern "C"

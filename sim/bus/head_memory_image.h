// What every head keeps at the same places of its memory (type, identifier, board revision, power
// full scale, hours, match values, configuration bytes), as named fields that the head presets
// fill in and write into a virtual supply.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "bus/virtual_supply.h"

namespace sim {

// The texts of a head memory are fields of 16 bytes.
inline constexpr size_t kHeadTextField = 16;

// Offsets in the head memory (0xA4, and 0xAE for heads with a second memory).
struct HeadMemoryMap {
    static constexpr uint16_t kType = 0x100;
    static constexpr uint16_t kIdentifier = 0x110;
    static constexpr uint16_t kBoardRevision = 0x160;
    static constexpr uint16_t kPowerFullScale = 0x170;
    static constexpr uint16_t kHeadTime = 0x17C;
    static constexpr uint16_t kMatchValues = 0x190;  // four singles
    static constexpr uint16_t kConfigBytes = 0x1A0;  // four bytes
};

struct HeadIdentity {
    // At most 16 characters each; a text of 16 leaves no terminator in memory.
    std::string type;
    std::string identifier;
    std::string boardRevision;
    float powerFullScale = 0.0f;
    // Quarter seconds the head has run; all bits set means the head keeps no time.
    uint32_t headQuarterSeconds = 0xFFFFFFFF;
    // Current limit (A), power limit, power command (the head's power unit), main temperature
    // set point (degrees Celsius).
    std::array<float, 4> matchValues{};
    std::array<uint8_t, 4> configBytes{};
};

// The characters, then zeros to the end of the 16-byte field (none after 16 characters).
// A longer text throws std::length_error.
void WriteTextField(VirtualSupply &supply, uint8_t memory, uint16_t offset, std::string_view text);

// Writes the identity into `memory` at the offsets of HeadMemoryMap, its words and singles in
// `order`.
void WriteHeadIdentity(VirtualSupply &supply, uint8_t memory, const HeadIdentity &identity,
                       ByteOrder order);

}  // namespace sim

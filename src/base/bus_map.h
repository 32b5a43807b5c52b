// Where the parts of a supply and of its head sit on the I2C bus, and the command bytes that
// select a converter's input channels: named once, for every head family.
#pragma once

#include <cstdint>

namespace BusMap {

// Head memories: the head's own, and the second one some heads carry.
inline constexpr uint8_t kHeadMemory = 0xA4;
inline constexpr uint8_t kSecondHeadMemory = 0xAE;

// Two-port expanders.
inline constexpr uint8_t kSupplyIoExpander = 0x40;
inline constexpr uint8_t kHeadIoExpander = 0x44;
inline constexpr uint8_t kGlueInputExpander = 0x48;
inline constexpr uint8_t kGlueOutputExpander = 0x4A;

// Analog-to-digital converters: the supply's main one, the head's (Pico heads) and the stages'
// (Kora heads).
inline constexpr uint8_t kMainAdc = 0x90;
inline constexpr uint8_t kHeadAdc = 0x94;
inline constexpr uint8_t kStageAdc = 0x96;

// The digital-to-analog converter of the current and power commands.
inline constexpr uint8_t kDac = 0x52;

// Potentiometers: the supply's main one, and the head's (stage set points).
inline constexpr uint8_t kMainPot = 0x58;
inline constexpr uint8_t kHeadPot = 0x5C;

inline constexpr uint8_t kElapsedTimeCounter = 0xD6;

// The command bytes of the eight inputs of an analog-to-digital converter.
inline constexpr uint8_t kAdcChannel0 = 0x84;
inline constexpr uint8_t kAdcChannel1 = 0x94;
inline constexpr uint8_t kAdcChannel2 = 0xA4;
inline constexpr uint8_t kAdcChannel3 = 0xB4;
inline constexpr uint8_t kAdcChannel4 = 0xC4;
inline constexpr uint8_t kAdcChannel5 = 0xD4;
inline constexpr uint8_t kAdcChannel6 = 0xE4;
inline constexpr uint8_t kAdcChannel7 = 0xF4;

}  // namespace BusMap

// Vfk and Vfn heads as named fields. Both keep their own measurements in a memory (Vfk in its
// head memory, Vfn in its second memory) in one layout: four temperature-controlled stages, hours,
// power full scale, configuration bytes and match values; a Vfn head adds its main temperature
// loop. Words are singles stored least significant byte first; status words are stored first
// byte most significant.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "bus/virtual_supply.h"

namespace sim {

// One stage's block (or the main temperature loop's, which has the same layout).
struct StageImage {
    // As the memory holds it from its first byte on: the first byte carries the fault bits in its
    // two lowest bits (the main loop: its four lowest); bit 0 of the second byte is the main
    // loop's fan.
    uint32_t status = 0;
    float setPoint = 0.0f;
    float temperature = 0.0f;
    float drive = 0.0f;
};

struct HeadTexts {
    // At most 16 characters each.
    std::string type;
    std::string identifier;
    std::string boardRevision;
};

// What one memory holds.
struct StageHeadImage {
    HeadTexts texts;
    std::array<StageImage, 4> stages{};  // BRF, SHG, THG, ETA
    float headHours = 0.0f;
    float electronicsHours = 0.0f;
    float powerFullScale = 0.0f;  // watts
    std::array<uint8_t, 2> configBytes{};
    // Current limit (A), power limit (W), power command (W), main temperature set point (degrees
    // Celsius).
    std::array<float, 4> matchValues{};
};

struct VfnHeadImage {
    HeadTexts head;         // in the head memory; the board revision is read from here
    StageHeadImage second;  // in the second memory, whose type must pair with the head's
    StageImage mainLoop;    // in the second memory
};

void WriteVfkHead(VirtualSupply &supply, const StageHeadImage &head);
void WriteVfnHead(VirtualSupply &supply, const VfnHeadImage &head);

// The heads behind the presets, for starting from one and changing a field.
StageHeadImage VfkHead();
StageHeadImage VgkHead();
VfnHeadImage VfnHead(std::string type, std::string secondType);

}  // namespace sim

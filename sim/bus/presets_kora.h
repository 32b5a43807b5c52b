// Kora and P532 heads as named fields: the identification, and per stage the calibration words
// the head memory keeps with the codes its converter and set-point potentiometer stand at.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "bus/head_memory_image.h"

namespace sim {

struct KoraStageImage {
    // Words 0 to 4 as the head memory keeps them: sensor series resistance (band 3: the bridge's
    // reference) and set-point gain, set-point fixed resistance, set-point parallel resistance,
    // upper bridge resistor, temperature offset.
    std::array<float, 5> calibration{};
    uint16_t sensorCode = 0;
    // The drive channel of band 3 boards; boards of bands 1 and 2 read the drive on the sensor's
    // channel.
    uint16_t driveCode = 0;
    uint8_t setpointWiper = 0x80;
};

struct KoraHeadImage {
    HeadIdentity identity;
    std::array<KoraStageImage, 4> stages{};  // BRF, SHG, ETA, THG
};

// Writes the head memory and sets the stage converter and potentiometer.
void WriteKoraHead(VirtualSupply &supply, const KoraHeadImage &head);

// The heads behind the presets, for starting from one and changing a field: a Kora head on a
// board of the given revision, with the calibration such a board carries, and a P532 head.
KoraHeadImage KoraHead(const std::string &boardRevision);
KoraHeadImage P532Head();

}  // namespace sim

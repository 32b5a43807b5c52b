// PicoX, P-NIR and Pico00 heads as named fields: the identification, and per stage the codes of
// the head converter and set-point potentiometer, with the reference voltages that boards of
// revision "640" keep in memory.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "bus/head_memory_image.h"

namespace sim {

struct PicoStageImage {
    uint16_t thermistorCode = 0;
    uint16_t referenceCode = 0;   // the reference input, read on boards other than "640"
    float referenceVolts = 0.0f;  // the head memory's reference, read on "640" boards
    uint16_t driveCode = 0;
    uint8_t setpointWiper = 0x80;
};

struct PicoHeadImage {
    HeadIdentity identity;
    std::array<PicoStageImage, 2> stages{};  // BRF, SHG
    // Head converter channels and potentiometer channel that Pico00 heads use for the main
    // temperature and drive.
    uint16_t mainTemperatureCode = 0;
    uint16_t mainDriveCode = 0;
    uint8_t mainTemperatureWiper = 0x80;
};

// Writes the head memory and sets the head converter and potentiometer.
void WritePicoHead(VirtualSupply &supply, const PicoHeadImage &head);

// The heads behind the presets, for starting from one and changing a field.
PicoHeadImage PicoXHead(const std::string &boardRevision);
PicoHeadImage Pico00Head();

}  // namespace sim

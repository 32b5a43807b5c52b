// Vfk and VGK heads: everything they report beyond the supply's own parts sits in the head memory.
#include "bus/head_presets.h"
#include "bus/stage_head_image.h"

namespace sim {

// A head in good order: no stage reports a fault (the BRF status has bits set that are not fault
// bits). Its match values all give codes. The head shows its power words times 1000 with the unit
// "W", so its memory holds kilowatts: a 2 W head stores 0.002, as the single just below it: the
// single nearest 0.002 lies above, and codes, truncated, would come out one short (PCMD=0.5 read
// back 0.498).
StageHeadImage VfkHead() {
    StageHeadImage head;
    head.texts = {"VFK", "VFK-1042", "B2"};
    head.stages = {{
        {0x04000001, 45.0f, 45.25f, 1.5f},     // BRF
        {0x00000000, 50.0f, 49.875f, -0.75f},  // SHG
        {0x00000000, 38.5f, 38.5f, 0.25f},     // THG
        {0x00000000, 30.0f, 30.125f, 2.0f},    // ETA
    }};
    head.headHours = 1234.5f;
    head.electronicsHours = 987.25f;
    head.powerFullScale = 0.0019999998f;
    head.configBytes = {0x5A, 0xC3};
    head.matchValues = {40.0f, 0.0015f, 0.001f, 25.0f};
    return head;
}

// The larger variant, with its THG stage reporting a fault.
StageHeadImage VgkHead() {
    StageHeadImage head = VfkHead();
    head.texts = {"VGK", "VGK-2077", "B3"};
    head.stages[2].status = 0x01000000;
    head.powerFullScale = 0.0039999997f;  // 4 W, as above
    head.matchValues = {60.0f, 0.003f, 0.002f, 20.0f};
    return head;
}

namespace {

HeadPreset Preset(std::string name, std::string description, StageHeadImage head) {
    return {std::move(name), std::move(description),
            [head = std::move(head)](VirtualSupply &supply) { WriteVfkHead(supply, head); }};
}

}  // namespace

std::vector<HeadPreset> VfkFamilyPresets() {
    std::vector<HeadPreset> presets;
    presets.push_back(Preset("vfk", "Vfk head, 2 W, all stages in order", VfkHead()));
    presets.push_back(Preset("vgk", "VGK head, 4 W, THG stage reporting a fault", VgkHead()));
    return presets;
}

}  // namespace sim

// Vfn and VGN heads: the head memory names the head, the second memory holds its measurements and
// must name the matching type ("VFK" beside "VFN", "VGK" beside "VGN") for the head to be usable.
#include "bus/head_presets.h"
#include "bus/stage_head_image.h"

namespace sim {

// A head in good order with its fan running; the SHG status has bits set that are not fault bits.
VfnHeadImage VfnHead(std::string type, std::string secondType) {
    VfnHeadImage head;
    head.head = {std::move(type), "VFN-3001", "C1"};
    StageHeadImage &second = head.second;
    second.texts = {std::move(secondType), "UV-3001", "C1"};
    second.stages = {{
        {0x00000000, 41.0f, 41.5f, 0.5f},     // BRF
        {0x0C000100, 47.0f, 46.75f, -1.25f},  // SHG
        {0x00000000, 36.0f, 36.25f, 0.125f},  // THG
        {0x00000000, 28.0f, 27.5f, 1.75f},    // ETA
    }};
    second.headHours = 512.75f;
    second.electronicsHours = 2048.5f;
    second.powerFullScale = 0.5f;
    second.configBytes = {0x11, 0x22};
    second.matchValues = {8.0f, 0.375f, 0.25f, 22.0f};
    head.mainLoop = {0x00010000, 25.0f, 25.5f, 3.25f};
    return head;
}

namespace {

HeadPreset Preset(std::string name, std::string description, VfnHeadImage head) {
    return {std::move(name), std::move(description),
            [head = std::move(head)](VirtualSupply &supply) { WriteVfnHead(supply, head); }};
}

}  // namespace

std::vector<HeadPreset> VfnFamilyPresets() {
    std::vector<HeadPreset> presets;
    presets.push_back(
        Preset("vfn", "Vfn head, 500 mW, second memory of type VFK", VfnHead("VFN", "VFK")));
    presets.push_back(Preset("vfn-mismatch", "Vfn head whose second memory names VGK (not usable)",
                             VfnHead("VFN", "VGK")));
    presets.push_back(
        Preset("vgn", "VGN head, 500 mW, second memory of type VGK", VfnHead("VGN", "VGK")));
    presets.push_back(Preset("vgn-mismatch", "VGN head whose second memory names VFK (not usable)",
                             VfnHead("VGN", "VFK")));
    return presets;
}

}  // namespace sim

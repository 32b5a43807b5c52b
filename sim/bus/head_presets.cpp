#include "bus/head_presets.h"

namespace sim {

const std::vector<HeadPreset> &HeadPresets() {
    static const auto *presets = [] {
        auto *all = new std::vector<HeadPreset>;
        for (auto family : {KoraFamilyPresets, PicoFamilyPresets, VfkFamilyPresets,
                            VfnFamilyPresets, OtherHeadPresets}) {
            for (HeadPreset &preset : family()) all->push_back(std::move(preset));
        }
        return all;
    }();
    return *presets;
}

const HeadPreset *FindHeadPreset(const std::string &name) {
    for (const HeadPreset &preset : HeadPresets()) {
        if (preset.name == name) return &preset;
    }
    return nullptr;
}

}  // namespace sim

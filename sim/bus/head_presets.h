// Heads as a person describes them: one preset per head model and variant, built from named
// fields (type, identifier, revision, full scale, calibration words, stage blocks, match values)
// and written into a virtual supply's head memories and converters.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sim {

class VirtualSupply;

struct HeadPreset {
    std::string name;         // short, for people and for the emulators' configuration: "kora-band2"
    std::string description;  // one line
    std::function<void(VirtualSupply &)> apply;
};

// Every preset, in a stable order.
const std::vector<HeadPreset> &HeadPresets();
// Null when no preset has that name.
const HeadPreset *FindHeadPreset(const std::string &name);

// Each head family contributes its presets.
std::vector<HeadPreset> KoraFamilyPresets();   // Kora in each board band, P532
std::vector<HeadPreset> PicoFamilyPresets();   // PicoX on revision "640" and others, Pico00
std::vector<HeadPreset> VfkFamilyPresets();    // Vfk, VGK
std::vector<HeadPreset> VfnFamilyPresets();    // Vfn and VGN with matching and non-matching second memory
std::vector<HeadPreset> OtherHeadPresets();    // a head of unknown type, an empty memory

}  // namespace sim

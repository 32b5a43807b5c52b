#include "mpsse/model_chips.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "bus/adapter_supply_list.h"

namespace mpsse_model {

namespace {

constexpr std::array kChipTypes = {
    ChipType{.release = 0x0500, .channels = 2, .mpsseChannels = 1,  // FT2232C/D
             .abilities = {.highSpeed = false, .driveOnlyZero = false}},
    ChipType{.release = 0x0600, .channels = 1, .mpsseChannels = 0,  // FT232R
             .abilities = {.highSpeed = false, .driveOnlyZero = false}},
    ChipType{.release = 0x0700, .channels = 2, .mpsseChannels = 2,  // FT2232H
             .abilities = {.highSpeed = true, .driveOnlyZero = false}},
    ChipType{.release = 0x0800, .channels = 4, .mpsseChannels = 2,  // FT4232H
             .abilities = {.highSpeed = true, .driveOnlyZero = false}},
    ChipType{.release = 0x0900, .channels = 1, .mpsseChannels = 1,  // FT232H
             .abilities = {.highSpeed = true, .driveOnlyZero = true}},
};

// A hub level holds this many ports; chips fill one hub after another.
constexpr unsigned kPortsPerHub = 15;
constexpr unsigned kAddresses = 127;

// The port path LocationOf turns into `location` for channel A.
std::vector<uint8_t> PortPathOf(uint32_t location) {
    std::vector<uint8_t> path;
    for (int shift = 20; shift >= 4; shift -= 4) {
        path.push_back(static_cast<uint8_t>((location >> shift) & 0x0F));
    }
    return path;
}

void PlugConfiguredSupplies(Model &model) {
    const char *configured = std::getenv(sim::kAdapterSupplyListVariable);
    if (configured == nullptr) return;
    const sim::AdapterSupplyList list = sim::ParseAdapterSupplyList(configured);
    for (const sim::AdapterSupplyProblem &problem : list.problems) {
        std::fprintf(stderr, "MPSSE model: %s entry \"%s\" left out: %s\n",
                     sim::kAdapterSupplyListVariable, problem.entry.c_str(),
                     problem.reason.c_str());
    }
    for (const sim::AdapterSupplyEntry &entry : list.entries) {
        Plug(model, *FindChipType(kFt232HRelease), {sim::FindHeadPreset(entry.preset)});
        ModelChip &chip = *model.chips.back();
        chip.product = entry.description.value_or(chip.product);
        chip.serialNumber = entry.serialNumber.value_or(chip.serialNumber);
        if (entry.location) chip.portPath = PortPathOf(*entry.location);
    }
}

}  // namespace

const ChipType *FindChipType(uint16_t release) {
    const auto found = std::find_if(kChipTypes.begin(), kChipTypes.end(),
                                    [&](const ChipType &type) { return type.release == release; });
    return found == kChipTypes.end() ? nullptr : &*found;
}

Model &State() {
    static Model *model = [] {
        auto *created = new Model;
        PlugConfiguredSupplies(*created);
        return created;
    }();
    return *model;
}

void Unplug(ModelChip &chip) {
    if (chip.plugged) ++chip.generation;
    chip.plugged = false;
}

uint8_t AddressOf(const ModelChip &chip) {
    return static_cast<uint8_t>(chip.generation % kAddresses + 1);
}

uint32_t Plug(Model &model, const ChipType &type,
              const std::vector<const sim::HeadPreset *> &presets) {
    const auto number = static_cast<unsigned>(model.chips.size());
    auto chip = std::make_shared<ModelChip>();
    chip->type = &type;
    chip->product = type.channels > 1 ? "ZARP Power Supply" : "ZARP Power Supply A";
    chip->serialNumber = "ZV" + std::to_string(1001 + number);
    chip->portPath = {static_cast<uint8_t>(number / kPortsPerHub + 1),
                      static_cast<uint8_t>(number % kPortsPerHub + 1)};
    const auto first = static_cast<uint32_t>(model.adapters.size());
    for (unsigned channel = 0; channel < type.channels; ++channel) {
        chip->channels.push_back(
            std::make_unique<ModelChannel>(channel < type.mpsseChannels, type.abilities));
        if (channel < presets.size() && presets[channel] != nullptr) {
            presets[channel]->apply(chip->channels.back()->supply);
        }
        model.adapters.push_back({.chip = chip, .channel = channel});
    }
    model.chips.push_back(std::move(chip));
    return first;
}

ModelChannel *ChannelOf(Model &model, uint32_t adapter) {
    if (adapter >= model.adapters.size()) return nullptr;
    const Adapter &found = model.adapters[adapter];
    return found.chip->channels[found.channel].get();
}

}  // namespace mpsse_model

// The test controls of the adapter library's build over the MPSSE model (model_controls.h).
#include "mpsse/model_controls.h"

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "ftdi/adapter_handles.h"
#include "mpsse/model_chips.h"

namespace {

using namespace mpsse_model;

template <class Action>
auto Controlled(Action action) {
    Model &model = State();
    std::lock_guard<std::mutex> lock(model.mutex);
    return action(model);
}

void AddCounts(const ModelChannel &channel, MpsseModelCounts &counts) {
    counts.timeOutWaits += channel.timeOutWaits;
    counts.bytesWithoutMpsse += channel.bytesWithoutMpsse;
    counts.linesDrivenHigh += channel.engine.Faults().drivenHigh;
    counts.sdaContentions += channel.engine.Faults().sdaContention;
}

}  // namespace

extern "C" {

EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_Reset() {
    Controlled([](Model &model) {
        for (const auto &chip : model.chips) Unplug(*chip);
        model.chips.clear();
        model.adapters.clear();
    });
}

// The version names this implementation; a test cannot change it.
EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_SetVersion(const char *text) {
    std::fprintf(stderr, "MPSSE model: the version text stays; \"%s\" not taken\n",
                 text == nullptr ? "" : text);
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_PlugSupply(const char *preset) {
    return MpsseModel_PlugChip(kFt232HRelease, preset);
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL MpsseModel_PlugChip(uint16_t release,
                                                                   const char *presets) {
    const ChipType *type = FindChipType(release);
    if (type == nullptr) return EMULATED_ADAPTER_NONE;
    std::vector<const sim::HeadPreset *> found;
    std::istringstream names(presets == nullptr ? "" : presets);
    for (std::string name; std::getline(names, name, ',');) {
        found.push_back(name.empty() ? nullptr : sim::FindHeadPreset(name));
        if (!name.empty() && found.back() == nullptr) return EMULATED_ADAPTER_NONE;
    }
    return Controlled([&](Model &model) { return Plug(model, *type, found); });
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL EmulatedAdapter_SetPlugged(uint32_t adapter,
                                                                         int32_t plugged) {
    return Controlled([&](Model &model) {
        if (adapter >= model.adapters.size()) return -1;
        ModelChip &chip = *model.adapters[adapter].chip;
        // Back in, the chip is a new device: the links it had stay dead, and its channels can be
        // opened anew.
        if (plugged == 0) {
            Unplug(chip);
        } else if (!chip.plugged) {
            for (const auto &channel : chip.channels) channel->openLink = nullptr;
            chip.plugged = true;
        }
        return 0;
    });
}

// Also the dead handle of an unplugged adapter, until it is closed or the adapter plugged back.
EMULATED_ADAPTER_EXPORT AdapterHandle MAVOZARP_CALL EmulatedAdapter_OpenHandle(uint32_t adapter) {
    // The link is looked up under the model's lock and the handle under the library's, never
    // both at once: the entry points take the library's lock first.
    const ftdi_adapter::MpsseLink *link = Controlled([&](Model &model) {
        const ModelChannel *channel = ChannelOf(model, adapter);
        return channel == nullptr ? nullptr : channel->openLink;
    });
    return link == nullptr ? 0 : ftdi_adapter::HandleOfLink(link);
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL MpsseModel_SetAnswering(uint32_t adapter,
                                                                      int32_t answering) {
    return Controlled([&](Model &model) {
        ModelChannel *channel = ChannelOf(model, adapter);
        if (channel == nullptr) return -1;
        channel->answering = answering != 0;
        return 0;
    });
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL MpsseModel_UnplugAfterSends(uint32_t adapter,
                                                                          uint32_t sends) {
    return Controlled([&](Model &model) {
        ModelChannel *channel = ChannelOf(model, adapter);
        if (channel == nullptr) return -1;
        channel->sendsBeforeUnplug = sends;
        return 0;
    });
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL MpsseModel_GetCounts(uint32_t adapter,
                                                                   MpsseModelCounts *counts) {
    return Controlled([&](Model &model) {
        if (counts == nullptr) return -1;
        *counts = {};
        if (adapter == EMULATED_ADAPTER_NONE) {
            for (const Adapter &each : model.adapters) {
                AddCounts(*each.chip->channels[each.channel], *counts);
            }
            return 0;
        }
        const ModelChannel *channel = ChannelOf(model, adapter);
        if (channel == nullptr) return -1;
        AddCounts(*channel, *counts);
        return 0;
    });
}

}  // extern "C"

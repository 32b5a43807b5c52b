// The chips of the MPSSE model (model_controls.h), shared by its USB side (model_backend.cpp) and
// its test controls (model_controls.cpp). Everything here is touched under Model::mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bus/bit_level_i2c.h"
#include "bus/head_presets.h"
#include "bus/virtual_supply.h"
#include "ftdi/usb_link.h"
#include "mpsse/mpsse_engine.h"

namespace mpsse_model {

// The chips as FTDI's datasheets describe them: channels, those with an engine (from A on), and
// what the engine has.
struct ChipType {
    uint16_t release;
    unsigned channels;
    unsigned mpsseChannels;
    sim::EngineAbilities abilities;
};

constexpr uint16_t kFt232HRelease = 0x0900;
constexpr uint8_t kModelBus = 1;

// Null for a release the model does not know.
const ChipType *FindChipType(uint16_t release);

struct ModelChannel {
    ModelChannel(bool mpsse, sim::EngineAbilities abilities)
        : hasMpsse(mpsse), engine(wire, abilities) {}

    const bool hasMpsse;
    bool mpsseMode = false;  // set by an engine reset, on a channel that has one
    bool answering = true;
    // Command writes still to pass before the chip is pulled out mid-transfer; -1 for never.
    int64_t sendsBeforeUnplug = -1;
    uint64_t bytesWithoutMpsse = 0;
    uint64_t timeOutWaits = 0;
    sim::VirtualSupply supply;
    sim::BitLevelI2c wire{supply.Bus()};
    sim::MpsseEngine engine;
    const ftdi_adapter::MpsseLink *openLink = nullptr;  // null while not open
};

struct ModelChip {
    const ChipType *type = nullptr;
    std::string product;
    std::string serialNumber;
    std::vector<uint8_t> portPath;
    bool plugged = true;
    // Raised at every unplug: a link opened before stays dead.
    unsigned generation = 0;
    std::vector<std::unique_ptr<ModelChannel>> channels;
};

struct Adapter {
    std::shared_ptr<ModelChip> chip;
    unsigned channel;
};

struct Model {
    std::mutex mutex;
    std::vector<std::shared_ptr<ModelChip>> chips;  // in plug order
    std::vector<Adapter> adapters;                 // by adapter number
};

// The model, with the supplies of the environment variable plugged at its first use.
Model &State();

void Unplug(ModelChip &chip);
// The chip's address on the bus: a new one at every plug, as the host gives.
uint8_t AddressOf(const ModelChip &chip);
// Plugs a chip with a supply on each channel, the presets applied; its channel A's adapter number.
uint32_t Plug(Model &model, const ChipType &type,
              const std::vector<const sim::HeadPreset *> &presets);
// The channel of an adapter number; null for an unknown one.
ModelChannel *ChannelOf(Model &model, uint32_t adapter);

}  // namespace mpsse_model

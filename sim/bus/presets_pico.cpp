#include "bus/presets_pico.h"

#include "bus/head_presets.h"

namespace sim {

namespace {

struct StageChannels {
    uint8_t thermistorCommand;
    uint8_t referenceCommand;
    uint8_t driveCommand;
    uint16_t referenceOffset;
    uint8_t setpointChannel;
};
// BRF, SHG.
constexpr std::array<StageChannels, 2> kStageChannels = {{
    {0x94, 0xE4, 0xD4, 0x3C, 1},
    {0x84, 0xA4, 0xC4, 0x44, 0},
}};
constexpr uint8_t kMainTemperatureCommand = 0xB4;
constexpr uint8_t kMainDriveCommand = 0xF4;
constexpr uint8_t kMainTemperatureChannel = 3;
constexpr ByteOrder kSingleOrder = ByteOrder::MostSignificantFirst;

// Reference inputs near 2.5 V and 2.55 V; thermistors near 35 and 40 degrees Celsius against them.
constexpr std::array<PicoStageImage, 2> kStages = {{
    {.thermistorCode = 782, .referenceCode = 2048, .referenceVolts = 2.45f, .driveCode = 1500,
     .setpointWiper = 100},
    {.thermistorCode = 979, .referenceCode = 2089, .referenceVolts = 2.6f, .driveCode = 1610,
     .setpointWiper = 120},
}};

HeadPreset Preset(std::string name, std::string description, PicoHeadImage head) {
    return {std::move(name), std::move(description),
            [head = std::move(head)](VirtualSupply &supply) { WritePicoHead(supply, head); }};
}

}  // namespace

void WritePicoHead(VirtualSupply &supply, const PicoHeadImage &head) {
    constexpr uint8_t memory = VirtualSupply::kHeadMemory;
    constexpr uint8_t adc = VirtualSupply::kHeadAdc;
    WriteHeadIdentity(supply, memory, head.identity, kSingleOrder);
    Potentiometer &pot = supply.Pot(VirtualSupply::kHeadPot);
    for (size_t stage = 0; stage < head.stages.size(); ++stage) {
        const PicoStageImage &image = head.stages[stage];
        const StageChannels &channels = kStageChannels[stage];
        supply.SetAdcCode(adc, channels.thermistorCommand, image.thermistorCode);
        supply.SetAdcCode(adc, channels.referenceCommand, image.referenceCode);
        supply.SetAdcCode(adc, channels.driveCommand, image.driveCode);
        supply.WriteSingle(memory, channels.referenceOffset, image.referenceVolts, kSingleOrder);
        pot.SetStoredWiper(channels.setpointChannel, image.setpointWiper);
    }
    supply.SetAdcCode(adc, kMainTemperatureCommand, head.mainTemperatureCode);
    supply.SetAdcCode(adc, kMainDriveCommand, head.mainDriveCode);
    pot.SetStoredWiper(kMainTemperatureChannel, head.mainTemperatureWiper);
}

PicoHeadImage PicoXHead(const std::string &boardRevision) {
    PicoHeadImage head;
    head.identity = {.type = "PicoX",
                     .identifier = "G1207",
                     .boardRevision = boardRevision,
                     .powerFullScale = 2.0f,
                     .headQuarterSeconds = 7200 * 4,
                     .matchValues = {40.0f, 1.5f, 1.0f, 25.0f},
                     .configBytes = {0x02, 0x00, 0x00, 0x00}};
    head.stages = kStages;
    return head;
}

PicoHeadImage Pico00Head() {
    // On a "640" board too, a Pico00 takes its references from the inputs, not from memory.
    PicoHeadImage head = PicoXHead("640");
    head.identity.type = "Pico00";
    head.identity.identifier = "A7001";
    head.identity.powerFullScale = 0.5f;
    head.mainTemperatureCode = 2048;  // 25 degrees Celsius on the main thermistor divider
    head.mainDriveCode = 1024;
    head.mainTemperatureWiper = 152;  // 25 degrees Celsius
    return head;
}

std::vector<HeadPreset> PicoFamilyPresets() {
    std::vector<HeadPreset> presets;
    presets.push_back(Preset("picox-640",
                             "PicoX head, 532 nm, board 640 (references from head memory)",
                             PicoXHead("640")));
    presets.push_back(Preset("picox", "PicoX head, 532 nm, board 710 (references from the inputs)",
                             PicoXHead("710")));
    PicoHeadImage nir = PicoXHead("710");
    nir.identity.type = "P-NIR";
    nir.identity.identifier = "N3310";
    presets.push_back(Preset("p-nir", "P-NIR head (served as a PicoX), 607 nm", nir));
    presets.push_back(Preset("pico00", "Pico00 head, 488 nm, 500 mW, board 640", Pico00Head()));
    return presets;
}

}  // namespace sim

#include "bus/stage_head_image.h"

#include "bus/head_memory_image.h"

namespace sim {

namespace {

// What differs between the two families' memories.
struct StageHeadLayout {
    uint8_t memory;
    uint16_t configBytes;                 // two consecutive bytes
    std::array<uint16_t, 4> matchValues;  // in the order of StageHeadImage::matchValues
};

constexpr StageHeadLayout kVfkLayout = {
    VirtualSupply::kHeadMemory, 0x1A0, {0x328, 0x308, 0x310, 0x288}};
constexpr StageHeadLayout kVfnLayout = {
    VirtualSupply::kSecondHeadMemory, 0x85A, {0x860, 0x86C, 0x870, 0x904}};

constexpr std::array<uint16_t, 4> kStageBases = {0x180, 0x1C0, 0x200, 0x240};
constexpr uint16_t kMainLoopBase = 0x280;
// A block's words from its base.
constexpr uint16_t kStatus = 0x04;
constexpr uint16_t kSetPoint = 0x08;
constexpr uint16_t kTemperature = 0x0C;
constexpr uint16_t kDrive = 0x10;

constexpr uint16_t kElectronicsHours = 0x394;
constexpr uint16_t kHeadHours = 0x398;
constexpr uint16_t kPowerFullScale = 0x340;

constexpr ByteOrder kSingleOrder = ByteOrder::LeastSignificantFirst;

void WriteHeadTexts(VirtualSupply &supply, uint8_t memory, const HeadTexts &texts) {
    WriteTextField(supply, memory, HeadMemoryMap::kType, texts.type);
    WriteTextField(supply, memory, HeadMemoryMap::kIdentifier, texts.identifier);
    WriteTextField(supply, memory, HeadMemoryMap::kBoardRevision, texts.boardRevision);
}

void WriteStageBlock(VirtualSupply &supply, uint8_t memory, uint16_t base,
                     const StageImage &stage) {
    supply.WriteWord(memory, base + kStatus, stage.status, ByteOrder::MostSignificantFirst);
    supply.WriteSingle(memory, base + kSetPoint, stage.setPoint, kSingleOrder);
    supply.WriteSingle(memory, base + kTemperature, stage.temperature, kSingleOrder);
    supply.WriteSingle(memory, base + kDrive, stage.drive, kSingleOrder);
}

void WriteStageMemory(VirtualSupply &supply, const StageHeadLayout &layout,
                      const StageHeadImage &image) {
    const uint8_t memory = layout.memory;
    WriteHeadTexts(supply, memory, image.texts);
    for (size_t i = 0; i < kStageBases.size(); ++i) {
        WriteStageBlock(supply, memory, kStageBases[i], image.stages[i]);
    }
    supply.WriteSingle(memory, kHeadHours, image.headHours, kSingleOrder);
    supply.WriteSingle(memory, kElectronicsHours, image.electronicsHours, kSingleOrder);
    supply.WriteSingle(memory, kPowerFullScale, image.powerFullScale, kSingleOrder);
    supply.WriteMemory(memory, layout.configBytes, image.configBytes);
    for (size_t i = 0; i < image.matchValues.size(); ++i) {
        supply.WriteSingle(memory, layout.matchValues[i], image.matchValues[i], kSingleOrder);
    }
}

}  // namespace

void WriteVfkHead(VirtualSupply &supply, const StageHeadImage &head) {
    WriteStageMemory(supply, kVfkLayout, head);
}

void WriteVfnHead(VirtualSupply &supply, const VfnHeadImage &head) {
    WriteHeadTexts(supply, VirtualSupply::kHeadMemory, head.head);
    WriteStageMemory(supply, kVfnLayout, head.second);
    WriteStageBlock(supply, kVfnLayout.memory, kMainLoopBase, head.mainLoop);
}

}  // namespace sim

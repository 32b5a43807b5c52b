#include "heads/stage_head.h"

#include <cmath>
#include <limits>

#include "heads/conversions.h"

namespace {

struct StageLayout {
    uint16_t baseOffset;
    int32_t faultFlag;
};

// In Stage order.
constexpr std::array<StageLayout, StageHead::kStageCount> kStages = {{
    {.baseOffset = 0x180, .faultFlag = 0x1000},  // BRF
    {.baseOffset = 0x1C0, .faultFlag = 0x2000},  // SHG
    {.baseOffset = 0x200, .faultFlag = 0x4000},  // THG
    {.baseOffset = 0x240, .faultFlag = 0x8000},  // ETA
}};

// Distances of a block's words from its base offset.
constexpr uint16_t kStatusOffset = 0x04;
constexpr uint16_t kCommandOffset = 0x08;
constexpr uint16_t kTemperatureOffset = 0x0C;
constexpr uint16_t kDriveOffset = 0x10;

constexpr uint16_t kHeadHoursOffset = 0x398;
constexpr uint16_t kElectronicsHoursOffset = 0x394;
constexpr uint16_t kPowerFullScaleOffset = 0x340;

// The stage's two fault bits in the first byte of its status word.
constexpr uint8_t kStageFaultBits = 0x03;

}  // namespace

StageHead::StageHead(const Transport &transport, uint8_t memory,
                     const std::array<uint16_t, 2> &configByteOffsets)
    : CommonLaser(transport) {
    for (size_t stage = 0; stage < kStageCount; ++stage) {
        stageBlocks[stage] = AttachStageBlock(memory, kStages[stage].baseOffset);
    }
    for (size_t i = 0; i < configByteWords.size(); ++i) {
        configByteWords[i] = AttachWord(memory, configByteOffsets[i], 1);
    }
    headHoursWord = AttachWord(memory, kHeadHoursOffset);
    electronicsHoursWord = AttachWord(memory, kElectronicsHoursOffset);
    powerFullScaleWord = AttachWord(memory, kPowerFullScaleOffset);
}

CommonLaser::Descriptor StageHead::AttachWord(uint8_t memory, uint16_t offset,
                                              uint8_t dataNumberOfBytes) const {
    return Attach(I2cRegister::MemoryWord(memory, dataNumberOfBytes, kReadOnce, offset));
}

StageBlock StageHead::AttachStageBlock(uint8_t memory, uint16_t baseOffset) const {
    return StageBlock{
        AttachWord(memory, baseOffset + kStatusOffset),
        AttachWord(memory, baseOffset + kCommandOffset),
        AttachWord(memory, baseOffset + kTemperatureOffset),
        AttachWord(memory, baseOffset + kDriveOffset),
    };
}

void StageHead::ReadBoardRevisionAndFullScale() {
    Required(boardRevisionDescriptor).ReadText(boardRevisionCopy.data(), boardRevisionCopy.size());
    // An infinite scale would turn every power setting into code 0 with success: it counts as
    // not a number, so power readings show "nan" and power settings are refused.
    const double fullScale = ReadSingle(powerFullScaleWord);
    powerFullScale =
        std::isfinite(fullScale) ? fullScale : std::numeric_limits<double>::quiet_NaN();
}

double StageHead::ReadSingle(const Descriptor &word) {
    const I2cRegister &single = Required(word);
    return SingleFromWord(ReverseBytes(single.ReadWord()));
}

uint32_t StageHead::ReadStatus(const Descriptor &word) {
    const I2cRegister &status = Required(word);
    return status.ReadWord();
}

uint8_t StageHead::ReadStatusFirstByte(const Descriptor &word) {
    return static_cast<uint8_t>(ReadStatus(word) >> 24);
}

int32_t StageHead::InputFaultFlags(uint16_t levels, std::span<const InputFault> faults) {
    int32_t flags = 0;
    for (const InputFault &fault : faults) {
        if (((levels & fault.mask) != 0) == fault.faultWhenHigh) flags |= fault.flag;
    }
    return flags;
}

int32_t StageHead::StageFaultFlags() const {
    int32_t flags = 0;
    for (size_t stage = 0; stage < kStageCount; ++stage) {
        if ((ReadStatusFirstByte(stageBlocks[stage].status) & kStageFaultBits) != 0) {
            flags |= kStages[stage].faultFlag;
        }
    }
    return flags;
}

double StageHead::ReadStageWord(Stage stage, Descriptor StageBlock::*word) const {
    return ReadSingle(stageBlocks[stage].*word);
}

uint8_t StageHead::ReadConfigByte(size_t index) const {
    return static_cast<uint8_t>(Required(configByteWords[index]).ReadWord());
}

void StageHead::WriteConfigByte(size_t index, uint8_t value) const {
    Required(configByteWords[index]).WriteWord(value);
}

const char *StageHead::GetLaserModel() { return "Pellion RK-UV"; }
double StageHead::GetWavelength() { return 355.0; }

// The head keeps both hour counts itself, already in hours.
double StageHead::GetHeadHours() { return ReadSingle(headHoursWord); }
double StageHead::GetElectronicsHours() { return ReadSingle(electronicsHoursWord); }

uint8_t StageHead::GetConfigByte0() { return ReadConfigByte(0); }
uint8_t StageHead::GetConfigByte1() { return ReadConfigByte(1); }
void StageHead::SetConfigByte0(uint8_t value) { WriteConfigByte(0, value); }
void StageHead::SetConfigByte1(uint8_t value) { WriteConfigByte(1, value); }

double StageHead::GetBrfTemperature() { return ReadStageWord(kBrf, &StageBlock::temperature); }
double StageHead::GetShgTemperature() { return ReadStageWord(kShg, &StageBlock::temperature); }
double StageHead::GetThgTemperature() { return ReadStageWord(kThg, &StageBlock::temperature); }
double StageHead::GetEtaTemperature() { return ReadStageWord(kEta, &StageBlock::temperature); }
double StageHead::GetBrfTemperatureCommand() { return ReadStageWord(kBrf, &StageBlock::command); }
double StageHead::GetShgTemperatureCommand() { return ReadStageWord(kShg, &StageBlock::command); }
double StageHead::GetThgTemperatureCommand() { return ReadStageWord(kThg, &StageBlock::command); }
double StageHead::GetEtaTemperatureCommand() { return ReadStageWord(kEta, &StageBlock::command); }
double StageHead::GetBrfDrive() { return ReadStageWord(kBrf, &StageBlock::drive); }
double StageHead::GetShgDrive() { return ReadStageWord(kShg, &StageBlock::drive); }
double StageHead::GetThgDrive() { return ReadStageWord(kThg, &StageBlock::drive); }
double StageHead::GetEtaDrive() { return ReadStageWord(kEta, &StageBlock::drive); }

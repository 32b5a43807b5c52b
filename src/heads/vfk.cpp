#include "heads/vfk.h"

#include "base/bus_map.h"
#include "heads/head_models.h"

namespace {

using BusMap::kHeadMemory;

constexpr std::array<uint16_t, 2> kConfigByteOffsets = {0x1A0, 0x1A1};
// In the order of matchValues.
constexpr std::array<uint16_t, 4> kMatchOffsets = {0x328, 0x308, 0x310, 0x288};

constexpr double kCurrentFullScale = 100.0;
// Power is kept in watts and shown in milliwatts.
constexpr double kPowerDisplayFactor = 1000.0;
constexpr double kMainDriveFullScale = 48.0;

// Supply inputs at their fault levels (the low byte of each is port 0).
constexpr InputFault kSupplyIoFaults[] = {{0x10, false, 0x08}};
constexpr InputFault kGlueInputFaults[] = {
    {0x01, false, 0x20},
    {0x08, true, 0x100},
    {0x04, true, 0x200},
};

}  // namespace

Vfk::Vfk(const Transport &transport) : StageHead(transport, kHeadMemory, kConfigByteOffsets) {
    for (size_t i = 0; i < matchWords.size(); ++i) {
        matchWords[i] = AttachWord(kHeadMemory, kMatchOffsets[i]);
    }
    // The head's own words replace these; what still reaches them is "Invalid command".
    powerFullScaleDescriptor.reset();
    headIoDescriptor.reset();
    for (auto *group :
         {&configByteDescriptors, &matchValueDescriptors, &secondaryMatchDescriptors}) {
        for (Descriptor &descriptor : *group) descriptor.reset();
    }
    currentFullScale = kCurrentFullScale;
    powerDisplayFactor = kPowerDisplayFactor;
    mainDriveFullScale = kMainDriveFullScale;
    ReadBoardRevisionAndFullScale();
}

int32_t Vfk::GetFaultFlags() {
    const uint16_t supplyIo = GetSupplyDigitalIo();
    const uint16_t glueInputs = GetSupplyGlueInputs();
    return InputFaultFlags(supplyIo, kSupplyIoFaults) |
           InputFaultFlags(glueInputs, kGlueInputFaults) | StageFaultFlags();
}

int Vfk::MatchHeadSettings() {
    for (size_t i = 0; i < matchWords.size(); ++i) matchValues[i] = ReadSingle(matchWords[i]);
    return CommonLaser::MatchHeadSettings();
}

std::unique_ptr<CommonLaser> CreateVfk(const Transport &transport) {
    return std::make_unique<Vfk>(transport);
}

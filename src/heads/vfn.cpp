#include "heads/vfn.h"

#include "base/bus_map.h"
#include "heads/head_models.h"

namespace {

using namespace BusMap;

constexpr uint16_t kHeadIdOffset = 0x110;
constexpr uint16_t kHeadTextLength = 16;
constexpr uint16_t kMainBlockOffset = 0x280;
constexpr std::array<uint16_t, 2> kConfigByteOffsets = {0x85A, 0x85B};
constexpr uint8_t kPowerChannel = kAdcChannel1;
constexpr uint8_t kLaserStatePort = 0;
constexpr uint8_t kLaserStateMask = 0x10;

constexpr double kCurrentFullScale = 20.0;
// Power is kept in watts and shown in milliwatts.
constexpr double kPowerDisplayFactor = 1000.0;
constexpr double kMainDriveFullScale = 24.0;

// The main loop's fault indication in the first byte of its status word, and the fan in bit 0 of
// the second byte.
constexpr uint8_t kMainFaultBits = 0x0F;
constexpr int32_t kMainFaultFlag = 0x08;
constexpr uint32_t kFanBit = 1u << 16;

// Glue inputs at their fault levels (the low byte is port 0).
constexpr InputFault kGlueInputFaults[] = {
    {0x01, false, 0x20},
    {0x04, true, 0x200},
};

}  // namespace

// The base part reads the type and identifier from the head memory before the identifier moves to
// the second memory.
Vfn::Vfn(const Transport &transport) : StageHead(transport, kSecondHeadMemory, kConfigByteOffsets) {
    using R = I2cRegister;
    headIdDescriptor =
        Attach(R::MemoryText(kSecondHeadMemory, kMemoryPolicy, kHeadIdOffset, kHeadTextLength));
    mainBlock = AttachStageBlock(kSecondHeadMemory, kMainBlockOffset);
    powerInput = Attach(R::WithCodes(kMainAdc, 2, kReadMedian, {kPowerChannel, 0, 0, 0}));
    laserStateBit = Attach(
        R::ExpanderPins(kGlueInputExpander, kExpanderPolicy, kLaserStatePort, kLaserStateMask));
    // Hardware this supply does not have; what still reaches it is "Invalid command".
    for (Descriptor *absent : {&supplyIoDescriptor, &headIoDescriptor, &shutterBit, &remoteBit,
                               &mainTemperatureInput, &mainTemperaturePot, &mainDriveInput,
                               &configByteDescriptors[2], &configByteDescriptors[3]}) {
        absent->reset();
    }
    currentFullScale = kCurrentFullScale;
    powerDisplayFactor = kPowerDisplayFactor;
    mainDriveFullScale = kMainDriveFullScale;
    ReadBoardRevisionAndFullScale();
}

int32_t Vfn::GetFaultFlags() {
    const uint16_t glueInputs = GetSupplyGlueInputs();
    const int32_t mainFault =
        (ReadStatusFirstByte(mainBlock.status) & kMainFaultBits) != 0 ? kMainFaultFlag : 0;
    return mainFault | InputFaultFlags(glueInputs, kGlueInputFaults) | StageFaultFlags();
}

// Not inverted, unlike the supply's fan pin.
int Vfn::GetFanState() { return (ReadStatus(mainBlock.status) & kFanBit) != 0 ? 1 : 0; }

// The loop's own words, as stored: no thermistor conversion, no scaling.
double Vfn::GetMainTemperature() { return ReadSingle(mainBlock.temperature); }
double Vfn::GetMainTemperatureCommand() { return ReadSingle(mainBlock.command); }
double Vfn::GetMainDrive() { return ReadSingle(mainBlock.drive); }

const char *Vfn::GetPowerUnits() { return "mW"; }

int Vfn::MatchHeadSettings() {
    LoadMatchValuesSecondary();
    return CommonLaser::MatchHeadSettings();
}

int Vfn::MatchMainTemperature(double) { return 0; }

std::unique_ptr<CommonLaser> CreateVfn(const Transport &transport) {
    return std::make_unique<Vfn>(transport);
}

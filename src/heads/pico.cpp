#include "heads/pico.h"

#include <cmath>
#include <cstring>

#include "base/bus_map.h"
#include "base/failure_message.h"
#include "heads/conversions.h"
#include "heads/fault_word.h"
#include "heads/head_models.h"

namespace {

using namespace BusMap;

constexpr uint8_t kSingleBytes = 4;

constexpr double kPicoCurrentFullScale = 100.0;
// Watts, for a full-scale word that is no number.
constexpr double kPicoDefaultPowerFullScale = 10.0;
constexpr double kPico00CurrentFullScale = 20.0;
constexpr double kPico00MainDriveFullScale = 24.0;
constexpr double kMilliwattsPerWatt = 1000.0;

struct StageHardware {
    uint8_t thermistorCommand;
    I2cRegister::Codes potCodes;
    uint16_t referenceOffset;  // head memory single, on revision "640" boards
    uint8_t referenceCommand;  // converter input, on all other boards
    uint8_t driveCommand;
};
constexpr std::array<StageHardware, kPicoStageCount> kStages = {{
    {.thermistorCommand = kAdcChannel1,
     .potCodes = {0x01, 0x01, 0x01, 0x21},
     .referenceOffset = 0x3C,
     .referenceCommand = kAdcChannel6,
     .driveCommand = kAdcChannel5},
    {.thermistorCommand = kAdcChannel0,
     .potCodes = {0x00, 0x00, 0x00, 0x20},
     .referenceOffset = 0x44,
     .referenceCommand = kAdcChannel2,
     .driveCommand = kAdcChannel4},
}};

// Boards of this revision keep their reference voltages in head memory.
constexpr const char *kMemoryReferenceRevision = "640";
constexpr double kDefaultReferenceVolts = 2.5;
constexpr double kLowestReferenceVolts = 0.0;
constexpr double kHighestReferenceVolts = 10.0;

constexpr double kAdcVolts = 5.0;
constexpr double kAdcSteps = 4096.0;
// The thermistor's converter voltage falls as its resistance rises: R = reference x 2495 / V.
constexpr double kThermistorScaleOhm = 2495.0;
// Drive inputs are amplified and offset: -5 V at code 0.
constexpr double kDriveGain = 4.0;
constexpr double kDriveOffsetVolts = 5.0;

// The set-point network: the potentiometer with its wiper and a fixed resistor stand for a
// thermistor resistance of 6.5394e7 / (their sum).
constexpr double kSetpointPotOhm = 10000.0;
constexpr double kSetpointPotSteps = 256.0;
constexpr double kSetpointWiperOhm = 75.0;
constexpr double kSetpointFixedOhm = 8660.0;
constexpr double kSetpointOhmSquared = 6.5394e7;

struct WavelengthCode {
    char letter;
    double nanometres;
};
constexpr WavelengthCode kWavelengths[] = {
    {'A', 488.0}, {'B', 460.0}, {'C', 479.0}, {'D', 590.0}, {'E', 514.0}, {'G', 532.0},
    {'J', 561.0}, {'N', 607.0}, {'R', 639.0}, {'T', 505.0}, {'Y', 577.0},
};

// PicoX: supply digital I/O (input 0), glue inputs (input 1), head digital I/O (input 2).
constexpr FaultRule kPicoXFaults[] = {
    {0, 0x10, false, 0x0008},
    {2, 0x0A, false, 0x0010},
    {1, 0x01, false, 0x0020},
    {1, 0x08, true, 0x0100},
    {1, 0x04, true, 0x0200},
};
// Pico00 wires the same conditions to the glue inputs (input 0).
constexpr FaultRule kPico00Faults[] = {
    {0, 0x2000, false, 0x0008},
    {0, 0xC000, false, 0x0010},
    {0, 0x0001, false, 0x0020},
    {0, 0x0004, true, 0x0200},
};

double CodeToVolts(uint32_t code) { return code * kAdcVolts / kAdcSteps; }

// The sum of potentiometer, wiper and fixed resistor; at least 8774 ohm for any 8-bit code.
double SetpointNetworkOhm(uint32_t code) {
    return (kSetpointPotSteps - code) * kSetpointPotOhm / kSetpointPotSteps + kSetpointWiperOhm +
           kSetpointFixedOhm;
}

}  // namespace

double SetpointResistance(uint32_t code) { return kSetpointOhmSquared / SetpointNetworkOhm(code); }

double WavelengthFromHeadId(const char *headId) {
    // An empty identifier has nothing after its terminator worth reading.
    if (headId[0] == '\0' || headId[1] < '0' || headId[1] > '9') return 0.0;
    for (const WavelengthCode &code : kWavelengths) {
        if (code.letter == headId[0]) return code.nanometres;
    }
    return 0.0;
}

// ---- PicoX ----

PicoX::PicoX(const Transport &transport) : CommonLaser(transport) {
    using R = I2cRegister;
    currentFullScale = kPicoCurrentFullScale;
    for (size_t stage = 0; stage < kPicoStageCount; ++stage) {
        setpointPots[stage] =
            Attach(R::WithCodes(kHeadPot, 1, kPotPolicy, kStages[stage].potCodes));
    }
    for (size_t stage = 0; stage < kPicoStageCount; ++stage) {
        thermistors[stage].input = Attach(
            R::WithCodes(kHeadAdc, 2, kReadMedian, {kStages[stage].thermistorCommand, 0, 0, 0}));
    }
    for (size_t stage = 0; stage < kPicoStageCount; ++stage) {
        const uint16_t offset = kStages[stage].referenceOffset;
        referenceWords[stage] =
            Attach(R::MemoryWord(kHeadMemory, kSingleBytes, kMemoryPolicy, offset));
    }
    for (size_t stage = 0; stage < kPicoStageCount; ++stage) {
        referenceInputs[stage] = Attach(
            R::WithCodes(kHeadAdc, 2, kReadMedian, {kStages[stage].referenceCommand, 0, 0, 0}));
    }
    for (size_t stage = 0; stage < kPicoStageCount; ++stage) {
        driveInputs[stage] =
            Attach(R::WithCodes(kHeadAdc, 2, kReadMedian, {kStages[stage].driveCommand, 0, 0, 0}));
    }

    const I2cRegister &fullScale = Required(powerFullScaleDescriptor);
    powerFullScale = SingleFromWord(fullScale.ReadWord());
    if (!std::isfinite(powerFullScale)) powerFullScale = kPicoDefaultPowerFullScale;

    SetupReferences();
}

void PicoX::SetupReferences() {
    std::array<char, kRevisionTextSize> revision{};
    Required(boardRevisionDescriptor).ReadText(revision.data(), revision.size());
    if (std::strcmp(revision.data(), kMemoryReferenceRevision) != 0) {
        SetupReferencesFromInputs();
        return;
    }
    std::array<double, kPicoStageCount> candidates{};
    for (size_t stage = 0; stage < kPicoStageCount; ++stage) {
        const I2cRegister &word = *referenceWords[stage];
        candidates[stage] = SingleFromWord(word.ReadWord());
    }
    ApplyReferences(candidates);
}

void PicoX::SetupReferencesFromInputs() {
    std::array<double, kPicoStageCount> candidates{};
    for (size_t stage = 0; stage < kPicoStageCount; ++stage) {
        candidates[stage] = CodeToVolts(referenceInputs[stage]->ReadValue());
    }
    ApplyReferences(candidates);
}

void PicoX::ApplyReferences(const std::array<double, kPicoStageCount> &candidates) {
    for (size_t stage = 0; stage < kPicoStageCount; ++stage) {
        const double volts = candidates[stage];
        // A reference that is no number or out of range falls back to the circuit's nominal one.
        const bool plausible = volts >= kLowestReferenceVolts && volts <= kHighestReferenceVolts;
        thermistors[stage].referenceVoltage = plausible ? volts : kDefaultReferenceVolts;
    }
}

uint32_t PicoX::ReadSetpointCode(PicoStage stage) const {
    const I2cRegister &pot = *setpointPots[stage];
    return pot.Read(pot.codes.code2);
}

void PicoX::SetSetpoint(PicoStage stage, double ohm) const {
    // The inverse of SetpointResistance, rounded to the nearest step; a resistance with no code
    // in range (zero, negative, too high or too low) leaves the potentiometer where it is.
    const double potOhm = kSetpointOhmSquared / ohm - kSetpointFixedOhm - kSetpointWiperOhm;
    const double steps = std::floor(potOhm / kSetpointPotOhm * kSetpointPotSteps + 0.5);
    const auto code = CodeInRange(kSetpointPotSteps - steps, 255);
    if (!code) RaiseFailure(kInvalidData);
    setpointPots[stage]->WriteValue(*code);
}

double PicoX::ThermistorDegC(PicoStage stage) const {
    const ThermistorChannel &thermistor = thermistors[stage];
    const uint32_t code = thermistor.input->ReadValue();
    // Code 0 would stand for an infinite resistance: an open or missing thermistor.
    if (code == 0) RaiseFailure(kInvalidData);
    const double ohm = thermistor.referenceVoltage * kThermistorScaleOhm / CodeToVolts(code);
    return ThermistorOhmToDegC(ohm);
}

double PicoX::DriveValue(PicoStage stage) const {
    return CodeToVolts(driveInputs[stage]->ReadValue()) * kDriveGain - kDriveOffsetVolts;
}

const char *PicoX::GetLaserModel() { return "Pellion TL-QRB"; }

double PicoX::GetWavelength() { return WavelengthFromHeadId(headIdCopy.data()); }

int32_t PicoX::GetFaultFlags() {
    const uint16_t supplyIo = GetSupplyDigitalIo();
    const uint16_t glueInputs = GetSupplyGlueInputs();
    const uint16_t headIo = GetHeadDigitalIo();
    const uint16_t inputs[] = {supplyIo, glueInputs, headIo};
    return FaultWord(inputs, kPicoXFaults);
}

void PicoX::SetBrfSetpoint(double ohm) { SetSetpoint(kPicoBrfStage, ohm); }
void PicoX::SetShgSetpoint(double ohm) { SetSetpoint(kPicoShgStage, ohm); }
double PicoX::GetBrfSetpoint() { return SetpointResistance(ReadSetpointCode(kPicoBrfStage)); }
double PicoX::GetShgSetpoint() { return SetpointResistance(ReadSetpointCode(kPicoShgStage)); }
double PicoX::GetBrfTemperature() { return ThermistorDegC(kPicoBrfStage); }
double PicoX::GetShgTemperature() { return ThermistorDegC(kPicoShgStage); }
double PicoX::GetBrfTemperatureCommand() {
    return ThermistorOhmToDegC(SetpointResistance(ReadSetpointCode(kPicoBrfStage)));
}
double PicoX::GetShgTemperatureCommand() {
    return ThermistorOhmToDegC(SetpointResistance(ReadSetpointCode(kPicoShgStage)));
}
double PicoX::GetBrfDrive() { return DriveValue(kPicoBrfStage); }
double PicoX::GetShgDrive() { return DriveValue(kPicoShgStage); }

int PicoX::MatchHeadSettings() {
    LoadMatchValues();
    return CommonLaser::MatchHeadSettings();
}

// ---- Pico00 ----

Pico00::Pico00(const Transport &transport) : PicoX(transport) {
    using R = I2cRegister;
    // This head has no shutter and no remote pin.
    remoteBit.reset();
    shutterBit.reset();
    currentFullScale = kPico00CurrentFullScale;
    powerDisplayFactor = kMilliwattsPerWatt;
    mainDriveFullScale = kPico00MainDriveFullScale;
    powerInput = Attach(R::WithCodes(kMainAdc, 2, kReadMedian, {kAdcChannel1, 0, 0, 0}));
    mainTemperaturePot = Attach(R::WithCodes(kHeadPot, 1, kPotPolicy, {0x03, 0x03, 0x03, 0x23}));
    mainTemperatureInput = Attach(R::WithCodes(kHeadAdc, 2, kReadMedian, {kAdcChannel3, 0, 0, 0}));
    mainDriveInput = Attach(R::WithCodes(kHeadAdc, 2, kReadMedian, {kAdcChannel7, 0, 0, 0}));
    laserStateBit = Attach(R::ExpanderPins(kGlueInputExpander, kExpanderPolicy, 0, 0x10));
    // Its references come from the inputs whatever the revision, replacing the PicoX ones.
    SetupReferencesFromInputs();
}

const char *Pico00::GetLaserModel() { return "Pellion TL-QRA"; }
uint16_t Pico00::GetSupplyDigitalIo() { RaiseFailure(kInvalidCommand); }
uint16_t Pico00::GetHeadDigitalIo() { RaiseFailure(kInvalidCommand); }

int32_t Pico00::GetFaultFlags() {
    const uint16_t inputs[] = {GetSupplyGlueInputs()};
    return FaultWord(inputs, kPico00Faults);
}

void Pico00::SetShutterCommand(int) { RaiseFailure(kInvalidCommand); }
int Pico00::GetShutterCommand() { RaiseFailure(kInvalidCommand); }
int Pico00::GetShutterState() { RaiseFailure(kInvalidCommand); }
void Pico00::SetRemoteCommand(int) { RaiseFailure(kInvalidCommand); }
int Pico00::GetRemoteCommand() { RaiseFailure(kInvalidCommand); }
const char *Pico00::GetPowerUnits() { return "mW"; }

// Pico00 heads keep no settings to match.
int Pico00::MatchHeadSettings() { return 0; }

std::unique_ptr<CommonLaser> CreatePicoX(const Transport &transport) {
    return std::make_unique<PicoX>(transport);
}
std::unique_ptr<CommonLaser> CreatePico00(const Transport &transport) {
    return std::make_unique<Pico00>(transport);
}

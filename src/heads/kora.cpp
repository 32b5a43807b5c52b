#include "heads/kora.h"

#include <cmath>
#include <cstring>

#include "base/bus_map.h"
#include "heads/conversions.h"
#include "heads/fault_word.h"
#include "heads/head_models.h"

namespace {

using namespace BusMap;

constexpr uint8_t kSingleBytes = 4;

constexpr double kPlatinumNominalOhm = 1000.0;
constexpr double kKoraCurrentFullScale = 100.0;
// Watts, for a full-scale word that is no number.
constexpr double kKoraDefaultPowerFullScale = 0.1;
constexpr double kMilliwattsPerWatt = 1000.0;

// Offsets of the calibration words in member order: words 0 to 3 of each stage, then word 4 of
// each stage.
constexpr std::array<uint16_t, Kora::kCalibrationWordCount> kCalibrationOffsets = {
    0x120, 0x124, 0x128, 0x12C, 0x130, 0x134, 0x138, 0x13C, 0x140, 0x144,
    0x148, 0x14C, 0x150, 0x154, 0x158, 0x15C, 0x180, 0x184, 0x188, 0x18C};
constexpr size_t kWordsPerStage = 5;

size_t CalibrationIndex(size_t stage, size_t word) {
    return word < 4 ? stage * 4 + word : 4 * kKoraStageCount + stage;
}

struct WordRange {
    double lowest, highest;
};
// Words 0 to 3 are resistances or a gain; word 4 is a temperature offset.
constexpr std::array<WordRange, kWordsPerStage> kWordRanges = {
    {{1.0, 1e9}, {1.0, 1e9}, {1.0, 1e9}, {1.0, 1e9}, {-100.0, 100.0}}};
// Boards of bands 1 and 2 use words 0 to 2 only.
constexpr size_t kDividerBoardWords = 3;

struct StageHardware {
    uint8_t sensorCommand;
    I2cRegister::Codes potCodes;
    uint8_t dividerBoardDriveCommand;  // bands 1 and 2: the drive shares the sensor's channel
    uint8_t bridgeBoardDriveCommand;   // band 3 and boards in no band
    std::array<double, kDividerBoardWords> dividerBoardDefaults;
    std::array<double, kWordsPerStage> bridgeBoardDefaults;
};

constexpr std::array<StageHardware, kKoraStageCount> kStages = {{
    {.sensorCommand = kAdcChannel4,
     .potCodes = {0x00, 0x00, 0x00, 0x20},
     .dividerBoardDriveCommand = kAdcChannel4,
     .bridgeBoardDriveCommand = kAdcChannel0,
     .dividerBoardDefaults = {100.0, 114000.0, 10000.0},
     .bridgeBoardDefaults = {1194.0, 6490.0, 243.0, 10874.0, 0.0}},
    {.sensorCommand = kAdcChannel5,
     .potCodes = {0x01, 0x01, 0x01, 0x21},
     .dividerBoardDriveCommand = kAdcChannel5,
     .bridgeBoardDriveCommand = kAdcChannel1,
     .dividerBoardDefaults = {100.0, 114000.0, 10000.0},
     .bridgeBoardDefaults = {1213.0, 6490.0, 243.0, 11049.0, 0.0}},
    {.sensorCommand = kAdcChannel6,
     .potCodes = {0x02, 0x02, 0x02, 0x22},
     .dividerBoardDriveCommand = kAdcChannel6,
     .bridgeBoardDriveCommand = kAdcChannel2,
     .dividerBoardDefaults = {100.0, 114000.0, 10000.0},
     .bridgeBoardDefaults = {1213.0, 6490.0, 243.0, 11049.0, 0.0}},
    {.sensorCommand = kAdcChannel7,
     .potCodes = {0x03, 0x03, 0x03, 0x23},
     .dividerBoardDriveCommand = kAdcChannel7,
     .bridgeBoardDriveCommand = kAdcChannel3,
     .dividerBoardDefaults = {100.0, 118000.0, 10000.0},
     .bridgeBoardDefaults = {1213.0, 6490.0, 243.0, 11049.0, 0.0}},
}};

// The lower bridge resistor that band 3 boards carry.
constexpr double kBridgeBoardLowerResistor = 10000.0;

struct BandCircuit {
    BoardBand band;
    const char *lowest;
    const char *limit;
    bool limitIncluded;
    // Full scale, in volts, of the stage converter's drive inputs (and of the sensor divider on
    // bands 1 and 2).
    double inputVolts;
};
constexpr std::array<BandCircuit, 3> kBands = {{
    {.band = BoardBand::Band1,
     .lowest = "AA",
     .limit = "BA",
     .limitIncluded = false,
     .inputVolts = 10.0},
    {.band = BoardBand::Band2,
     .lowest = "BA",
     .limit = "CA",
     .limitIncluded = false,
     .inputVolts = 5.0},
    {.band = BoardBand::Band3,
     .lowest = "CA",
     .limit = "ZZ",
     .limitIncluded = true,
     .inputVolts = 15.0},
}};

// Callers have returned for a board in no band before they ask.
double InputVolts(BoardBand band) {
    for (const BandCircuit &circuit : kBands) {
        if (circuit.band == band) return circuit.inputVolts;
    }
    return 0.0;
}

constexpr double kDividerSupplyVolts = 12.0;
constexpr double kDividerLowerOhm = 10000.0;
constexpr double kBridgeSupplyVolts = 2.5;
constexpr double kBridgeAdcVolts = 5.0;
constexpr double kBridgeAdcSteps = 4095.0;
constexpr double kBridgeAmplifierGain = 34.8;
constexpr double kSetpointPotOhm = 10000.0;
constexpr double kSetpointPotSteps = 256.0;
constexpr double kSetpointPotTop = 255.0;
constexpr double kSetpointParallelPotOhm = 10000.0;

// A board in no band has no circuit the readings know of.
constexpr double kNoReading = -1.0;

bool InRange(double value, WordRange range) {
    return value >= range.lowest && value <= range.highest;  // false for a NaN
}

// Fault flags from the supply's digital I/O (input 0) and the glue inputs (input 1).
constexpr FaultRule kKoraFaults[] = {
    {0, 0x10, false, 0x0008},
    {1, 0x01, false, 0x0020},
    {1, 0x08, true, 0x0100},
    {1, 0x04, true, 0x0200},
};

}  // namespace

BoardBand ClassifyBoardRevision(const char *revision) {
    for (const BandCircuit &circuit : kBands) {
        if (std::strcmp(revision, circuit.lowest) < 0) continue;
        const int toLimit = std::strcmp(revision, circuit.limit);
        if (toLimit < 0 || (circuit.limitIncluded && toLimit == 0)) return circuit.band;
    }
    return BoardBand::None;
}

double PlatinumOhmToDegC(double ohm, double nominalOhm) {
    if (std::fabs(nominalOhm) < kZeroGuard) return 0.0;
    // The positive root of the Callendar-Van Dusen quadratic, with A = 3.9083e-3, B = -5.775e-7
    // folded into these constants.
    const double x = 1 - (ohm - nominalOhm) * 2.31e-6 / (nominalOhm * 1.527480889e-5);
    if (x < 0) return 0.0;
    return (std::sqrt(x) - 1) * -3383.809523809524;
}

Kora::Kora(const Transport &transport) : CommonLaser(transport) {
    using R = I2cRegister;
    currentFullScale = kKoraCurrentFullScale;
    for (size_t i = 0; i < calibrationWords.size(); ++i) {
        calibrationWords[i] =
            Attach(R::MemoryWord(kHeadMemory, kSingleBytes, kMemoryPolicy, kCalibrationOffsets[i]));
    }
    for (size_t stage = 0; stage < kKoraStageCount; ++stage) {
        setpoints[stage].pot =
            Attach(R::WithCodes(kHeadPot, 1, kPotPolicy, kStages[stage].potCodes));
    }
    for (size_t stage = 0; stage < kKoraStageCount; ++stage) {
        const uint8_t command = kStages[stage].sensorCommand;
        sensors[stage].input = Attach(R::WithCodes(kStageAdc, 2, kReadMedian, {command, 0, 0, 0}));
    }

    // The drive channels are wired by the board and chosen once.
    std::array<char, kRevisionTextSize> revision{};
    Required(boardRevisionDescriptor).ReadText(revision.data(), revision.size());
    const BoardBand band = ClassifyBoardRevision(revision.data());
    const bool dividerBoard = band == BoardBand::Band1 || band == BoardBand::Band2;
    for (size_t stage = 0; stage < kKoraStageCount; ++stage) {
        const uint8_t command = dividerBoard ? kStages[stage].dividerBoardDriveCommand
                                             : kStages[stage].bridgeBoardDriveCommand;
        drives[stage].input = Attach(R::WithCodes(kStageAdc, 2, kReadMedian, {command, 0, 0, 0}));
    }

    const I2cRegister &fullScale = Required(powerFullScaleDescriptor);
    powerFullScale = SingleFromWord(fullScale.ReadWord());
    if (!std::isfinite(powerFullScale)) powerFullScale = kKoraDefaultPowerFullScale;

    LoadCalibration();
    powerDisplayFactor = kMilliwattsPerWatt;
}

void Kora::LoadCalibration() {
    std::array<char, kRevisionTextSize> revision{};
    Required(boardRevisionDescriptor).ReadText(revision.data(), revision.size());
    std::array<double, kCalibrationWordCount> words{};
    for (size_t i = 0; i < words.size(); ++i) {
        const I2cRegister &word = *calibrationWords[i];
        words[i] = SingleFromWord(word.ReadWord());
    }

    boardRevisionText = revision;
    const BoardBand band = Band();
    for (size_t stage = 0; stage < kKoraStageCount; ++stage) {
        std::array<double, kWordsPerStage> value{};
        for (size_t word = 0; word < kWordsPerStage; ++word) {
            value[word] = words[CalibrationIndex(stage, word)];
        }
        RtdChannel &sensor = sensors[stage];
        SetpointChannel &setpoint = setpoints[stage];

        if (band == BoardBand::Band1 || band == BoardBand::Band2) {
            for (size_t word = 0; word < kDividerBoardWords; ++word) {
                if (!InRange(value[word], kWordRanges[word])) {
                    value[word] = kStages[stage].dividerBoardDefaults[word];
                }
            }
            // Words 3 and 4 belong to the bridge circuit, which these boards lack.
            sensor.seriesResistance = value[0];
            setpoint.gain = value[0];
            setpoint.fixedResistance = value[1];
            setpoint.parallelResistance = value[2];
            continue;
        }

        // Band 3 takes its defaults; a board in no band keeps the words as read (nothing reads
        // them).
        if (band == BoardBand::Band3) {
            for (size_t word = 0; word < kWordsPerStage; ++word) {
                if (!InRange(value[word], kWordRanges[word])) {
                    value[word] = kStages[stage].bridgeBoardDefaults[word];
                }
            }
        }
        sensor.seriesResistance = value[0];
        setpoint.gain = value[0];
        setpoint.fixedResistance = value[1];
        setpoint.parallelResistance = value[2];
        sensor.bridgeResistance1 = value[3];
        sensor.offset = value[4];
        sensor.bridgeResistance2 = band == BoardBand::Band3 ? kBridgeBoardLowerResistor : 0.0;
    }
}

BoardBand Kora::Band() const { return ClassifyBoardRevision(boardRevisionText.data()); }

// ---- stage readings ----

double Kora::SensorDegC(KoraStage stage) const {
    const RtdChannel &sensor = sensors[stage];
    const BoardBand band = Band();
    switch (band) {
    case BoardBand::Band1:
    case BoardBand::Band2: {
        // The sensor in series with its calibrated resistor and 10 kOhm, across 12 V.
        const double volts = sensor.input->ReadValue() * InputVolts(band) / 4096;
        const double rest = kDividerSupplyVolts - volts;
        if (std::fabs(rest) < kZeroGuard) return 0.0;
        const double ohm = (sensor.seriesResistance + kDividerLowerOhm) * volts / rest;
        return PlatinumOhmToDegC(ohm, kPlatinumNominalOhm);
    }
    case BoardBand::Band3: {
        // A bridge against the calibrated reference, its difference amplified into the converter.
        const double bridge = sensor.bridgeResistance1 + sensor.bridgeResistance2;
        if (std::fabs(bridge) < kZeroGuard) return 0.0;
        const double code = sensor.input->ReadValue();
        const double volts = sensor.bridgeResistance2 * kBridgeSupplyVolts / bridge +
                             code / kBridgeAdcSteps * kBridgeAdcVolts / kBridgeAmplifierGain;
        const double rest = kBridgeSupplyVolts - volts;
        if (std::fabs(rest) < kZeroGuard) return 0.0;
        const double ohm = sensor.seriesResistance * volts / rest;
        return PlatinumOhmToDegC(ohm, kPlatinumNominalOhm) + sensor.offset;
    }
    case BoardBand::None:
        break;
    }
    return kNoReading;
}

double Kora::SetpointDegC(KoraStage stage) const {
    const SetpointChannel &setpoint = setpoints[stage];
    switch (Band()) {
    case BoardBand::Band2: {
        if (std::fabs(setpoint.parallelResistance) < kZeroGuard) return 0.0;
        const double code = setpoint.pot->Read(setpoint.pot->codes.code2);
        const double ohm = (code * kSetpointPotOhm / kSetpointPotSteps + setpoint.fixedResistance) *
                           (setpoint.gain / setpoint.parallelResistance);
        return PlatinumOhmToDegC(ohm, kPlatinumNominalOhm);
    }
    case BoardBand::Band3: {
        const double code = setpoint.pot->Read(setpoint.pot->codes.code2);
        const double sum = setpoint.parallelResistance + kSetpointParallelPotOhm;
        if (std::fabs(sum) < kZeroGuard) return 0.0;
        // The potentiometer in parallel with the calibrated resistor.
        const double parallel = setpoint.parallelResistance * kSetpointParallelPotOhm / sum;
        const double wiper = code / kSetpointPotTop;
        const double below = (1 - wiper) * parallel + setpoint.fixedResistance;
        if (std::fabs(below) < kZeroGuard) return 0.0;
        const double ohm = (parallel * wiper + setpoint.fixedResistance) * setpoint.gain / below;
        return PlatinumOhmToDegC(ohm, kPlatinumNominalOhm);
    }
    case BoardBand::Band1:  // these boards have no readable set point
    case BoardBand::None:
        break;
    }
    return kNoReading;
}

double Kora::DriveValue(KoraStage stage) const {
    // The converter is read on every board, even where no value comes of it.
    const double code = drives[stage].input->ReadValue();
    const BoardBand band = Band();
    if (band == BoardBand::None) return kNoReading;
    return code * InputVolts(band) / 4096;
}

// ---- operations ----

const char *Kora::GetLaserModel() { return "Pellion RK-UV"; }
double Kora::GetWavelength() { return 355.0; }

int32_t Kora::GetFaultFlags() {
    const uint16_t supplyIo = GetSupplyDigitalIo();
    const uint16_t glueInputs = GetSupplyGlueInputs();
    const uint16_t inputs[] = {supplyIo, glueInputs};
    return FaultWord(inputs, kKoraFaults);
}

double Kora::GetBrfTemperature() { return SensorDegC(kBrfStage); }
double Kora::GetShgTemperature() { return SensorDegC(kShgStage); }
double Kora::GetThgTemperature() { return SensorDegC(kThgStage); }
double Kora::GetEtaTemperature() { return SensorDegC(kEtaStage); }
double Kora::GetBrfTemperatureCommand() { return SetpointDegC(kBrfStage); }
double Kora::GetShgTemperatureCommand() { return SetpointDegC(kShgStage); }
double Kora::GetThgTemperatureCommand() { return SetpointDegC(kThgStage); }
double Kora::GetEtaTemperatureCommand() { return SetpointDegC(kEtaStage); }
double Kora::GetBrfDrive() { return DriveValue(kBrfStage); }
double Kora::GetShgDrive() { return DriveValue(kShgStage); }
double Kora::GetThgDrive() { return DriveValue(kThgStage); }
double Kora::GetEtaDrive() { return DriveValue(kEtaStage); }

const char *Kora::GetPowerUnits() { return "mW"; }

int Kora::MatchHeadSettings() {
    LoadMatchValues();
    if (matchValues[1] >= MilliwattThreshold()) {
        matchValues[1] /= kMilliwattsPerWatt;
        matchValues[2] /= kMilliwattsPerWatt;
    }
    return CommonLaser::MatchHeadSettings();
}

double Kora::MilliwattThreshold() const { return 3.0; }

// ---- P532 ----

P532::P532(const Transport &transport) : Kora(transport) {
    // A P532 loads its calibration once more, now as a P532 (the Kora construction already did).
    LoadCalibration();
    powerDisplayFactor = 1.0;
}

const char *P532::GetLaserModel() { return "Pellion RK-Vis"; }
double P532::GetWavelength() { return 532.0; }
double P532::GetEtaTemperature() { return SensorDegC(kThgStage); }
double P532::GetEtaTemperatureCommand() { return SetpointDegC(kThgStage); }
double P532::GetEtaDrive() { return DriveValue(kThgStage); }
const char *P532::GetPowerUnits() { return "W"; }
double P532::MilliwattThreshold() const { return 300.0; }

std::unique_ptr<CommonLaser> CreateKora(const Transport &transport) {
    return std::make_unique<Kora>(transport);
}
std::unique_ptr<CommonLaser> CreateP532(const Transport &transport) {
    return std::make_unique<P532>(transport);
}

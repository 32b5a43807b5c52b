// Kora heads and their P532 variant: the common supply hardware plus four temperature-controlled
// stages (BRF, SHG, ETA, THG), each with a platinum sensor, a set-point potentiometer and a drive
// input. The circuits of these stages, and the calibration constants the head memory keeps for
// them, depend on the band of the board revision.
#pragma once

#include <array>
#include <cstddef>

#include "heads/common_laser.h"

enum class BoardBand { None, Band1, Band2, Band3 };

// Bands by byte-wise comparison of the revision text: "AA" up to "BA", "BA" up to "CA", "CA" to
// "ZZ" inclusive; anything else (empty, lower case, beyond "ZZ") is in no band.
BoardBand ClassifyBoardRevision(const char *revision);

// Temperature of a platinum sensor of `ohm` with `nominalOhm` at 0 degrees Celsius
// (Callendar-Van Dusen at or above 0 degrees); 0.0 for a zero nominal or a resistance beyond the
// equation's range.
double PlatinumOhmToDegC(double ohm, double nominalOhm);

// The stages in the order of the head's channel records.
enum KoraStage : size_t { kBrfStage, kShgStage, kEtaStage, kThgStage, kKoraStageCount };

struct RtdChannel {
    CommonLaser::Descriptor input;
    double seriesResistance = 0.0;   // ohm; on band 3 the bridge's reference resistance
    double bridgeResistance1 = 0.0;  // ohm, upper bridge resistor (band 3)
    double bridgeResistance2 = 0.0;  // ohm, lower bridge resistor (band 3)
    double offset = 0.0;             // degrees Celsius added to the bridge result (band 3)
};

struct SetpointChannel {
    CommonLaser::Descriptor pot;
    double gain = 1.0;
    double fixedResistance = 1.0;     // ohm
    double parallelResistance = 1.0;  // ohm
};

struct DriveChannel {
    CommonLaser::Descriptor input;  // its channel is chosen by the band at construction
};

class Kora : public CommonLaser {
public:
    static constexpr size_t kCalibrationWordCount = 20;
    // A 16-character revision with its terminator.
    static constexpr size_t kRevisionTextSize = 17;

    explicit Kora(const Transport &transport);

    const char *GetLaserModel() override;
    double GetWavelength() override;
    int32_t GetFaultFlags() override;
    double GetBrfTemperature() override;
    double GetShgTemperature() override;
    double GetThgTemperature() override;
    double GetEtaTemperature() override;
    double GetBrfTemperatureCommand() override;
    double GetShgTemperatureCommand() override;
    double GetThgTemperatureCommand() override;
    double GetEtaTemperatureCommand() override;
    double GetBrfDrive() override;
    double GetShgDrive() override;
    double GetThgDrive() override;
    double GetEtaDrive() override;
    const char *GetPowerUnits() override;
    int MatchHeadSettings() override;

    // Reads the board revision and the calibration words and sets the channels from them: words
    // out of their range (or not numbers) take the defaults of the board's band.
    void LoadCalibration();
    // The band of the revision read by the last LoadCalibration.
    BoardBand Band() const;

    // Words 0 to 3 of each stage (BRF, SHG, ETA, THG), then word 4 of each stage.
    std::array<Descriptor, kCalibrationWordCount> calibrationWords;
    std::array<RtdChannel, kKoraStageCount> sensors;
    std::array<SetpointChannel, kKoraStageCount> setpoints;
    std::array<DriveChannel, kKoraStageCount> drives;
    std::array<char, kRevisionTextSize> boardRevisionText{};

protected:
    double SensorDegC(KoraStage stage) const;
    double SetpointDegC(KoraStage stage) const;
    double DriveValue(KoraStage stage) const;

private:
    // A stored power limit from this value on is in milliwatts: the limit and the power command
    // are then divided by 1000 before they are programmed.
    virtual double MilliwattThreshold() const;
};

// Kora's visible-light sibling: power in watts, and its ETA commands answer from the THG stage.
class P532 final : public Kora {
public:
    explicit P532(const Transport &transport);

    const char *GetLaserModel() override;
    double GetWavelength() override;
    double GetEtaTemperature() override;
    double GetEtaTemperatureCommand() override;
    double GetEtaDrive() override;
    const char *GetPowerUnits() override;

private:
    double MilliwattThreshold() const override;
};

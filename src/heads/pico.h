// PicoX heads (also serving "P-NIR" heads) and their Pico00 variant: the common supply hardware
// plus two temperature-controlled stages (BRF, SHG), each with a thermistor read against a
// reference voltage, a set-point potentiometer that stands for a thermistor resistance, and a
// drive input.
#pragma once

#include <array>
#include <cstddef>

#include "heads/common_laser.h"

enum PicoStage : size_t { kPicoBrfStage, kPicoShgStage, kPicoStageCount };

struct ThermistorChannel {
    CommonLaser::Descriptor input;
    double referenceVoltage = 2.5;  // volts, fixed at construction
};

// The thermistor resistance a set-point potentiometer code stands for, in ohm.
double SetpointResistance(uint32_t code);
// The wavelength coded in the first two characters of a head identifier (a letter and a digit),
// 0.0 when there is none.
double WavelengthFromHeadId(const char *headId);

class PicoX : public CommonLaser {
public:
    // A 16-character revision with its terminator.
    static constexpr size_t kRevisionTextSize = 17;

    explicit PicoX(const Transport &transport);

    const char *GetLaserModel() override;
    double GetWavelength() override;
    int32_t GetFaultFlags() override;
    void SetBrfSetpoint(double ohm) override;
    void SetShgSetpoint(double ohm) override;
    double GetBrfSetpoint() override;
    double GetShgSetpoint() override;
    double GetBrfTemperature() override;
    double GetShgTemperature() override;
    double GetBrfTemperatureCommand() override;
    double GetShgTemperatureCommand() override;
    double GetBrfDrive() override;
    double GetShgDrive() override;
    int MatchHeadSettings() override;

    std::array<Descriptor, kPicoStageCount> setpointPots;
    std::array<ThermistorChannel, kPicoStageCount> thermistors;
    // Reference voltages as head memory singles, used on revision "640" boards.
    std::array<Descriptor, kPicoStageCount> referenceWords;
    // Reference voltages as converter inputs, used on all other boards.
    std::array<Descriptor, kPicoStageCount> referenceInputs;
    std::array<Descriptor, kPicoStageCount> driveInputs;

protected:
    // The reference voltages from the converter inputs, whatever the board.
    void SetupReferencesFromInputs();

private:
    // The reference voltages from head memory on revision "640" boards, else from the inputs.
    void SetupReferences();
    void ApplyReferences(const std::array<double, kPicoStageCount> &candidates);
    void SetSetpoint(PicoStage stage, double ohm) const;
    uint32_t ReadSetpointCode(PicoStage stage) const;
    double ThermistorDegC(PicoStage stage) const;
    double DriveValue(PicoStage stage) const;
};

// PicoX's sibling with power in milliwatts, other main-temperature, main-drive and power channels,
// and no shutter, remote or digital I/O words; its references always come from the inputs and it
// programs nothing on matching.
class Pico00 final : public PicoX {
public:
    explicit Pico00(const Transport &transport);

    const char *GetLaserModel() override;
    uint16_t GetSupplyDigitalIo() override;
    uint16_t GetHeadDigitalIo() override;
    int32_t GetFaultFlags() override;
    void SetShutterCommand(int on) override;
    int GetShutterCommand() override;
    int GetShutterState() override;
    void SetRemoteCommand(int on) override;
    int GetRemoteCommand() override;
    const char *GetPowerUnits() override;
    int MatchHeadSettings() override;
};

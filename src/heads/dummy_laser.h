// The simulated head behind handle -1: fixed identification and readings, and settings that are
// remembered so that each can be read back. No hardware behind it.
#pragma once

#include <memory>

#include "heads/common_laser.h"

class DummyLaser final : public CommonLaser {
public:
    DummyLaser();

    const char *GetHeadId() override;
    const char *GetHeadType() override;
    const char *GetHeadBoardRevision() override;
    const char *GetLaserModel() override;
    double GetWavelength() override;
    double GetHeadHours() override;
    uint16_t GetSupplyDigitalIo() override;
    uint16_t GetSupplyGlueInputs() override;
    uint16_t GetSupplyGlueOutputs() override;
    uint16_t GetHeadDigitalIo() override;
    int32_t GetFaultFlags() override;
    void SetShutterCommand(int on) override;
    int GetShutterCommand() override;
    int GetShutterState() override;
    void SetKeySwitchCommand(int on) override;
    int GetKeySwitchCommand() override;
    int GetKeySwitchState() override;
    int GetInterlockState() override;
    void SetAnalogModeCommand(int on) override;
    int GetAnalogModeCommand() override;
    int GetAnalogModeState() override;
    void SetRemoteCommand(int on) override;
    int GetRemoteCommand() override;
    void SetControlModeCommand(int on) override;
    int GetControlModeCommand() override;
    int GetControlModeState() override;
    double GetBrfTemperature() override;
    double GetShgTemperature() override;
    double GetBrfTemperatureCommand() override;
    double GetShgTemperatureCommand() override;
    double GetBrfDrive() override;
    double GetShgDrive() override;
    double GetMainTemperature() override;
    double GetMainTemperatureCommand() override;
    double GetMainDrive() override;
    double GetCurrent() override;
    void SetCurrentCommand(double amperes) override;
    double GetCurrentCommand() override;
    double GetCurrentLimit() override;
    int GetLaserState() override;
    void SetPowerCommand(double power) override;
    double GetPowerCommand() override;
    void SetPowerMemory(double power) override;
    double GetPowerMemory() override;
    double GetPowerLimit() override;
    double GetPower() override;
    const char *GetPowerUnits() override;

    // The last settings given, read back by the matching queries.
    int shutterValue = 0;
    int keySwitchValue = 0;
    int analogModeValue = 0;
    int remoteValue = 0;
    int controlModeValue = 0;
    double powerCommandValue = 0.0;
    double powerMemoryValue = 0.0;
    double powerLimitValue = 99.9;
    double currentCommandValue = 15.0;
    double currentLimitValue = 30.0;
};

std::unique_ptr<CommonLaser> CreateSimulatedHead();

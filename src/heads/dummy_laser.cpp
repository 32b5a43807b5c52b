#include "heads/dummy_laser.h"

namespace {

// What the simulated readings show above the commands they follow.
constexpr double kReadingAboveCommand = 0.1;

}  // namespace

// On no bus at all, so neither its construction nor its operations ever reach a real device.
DummyLaser::DummyLaser() : CommonLaser(NullTransport{}) {
    powerFullScale = 10.0;
    currentFullScale = 100.0;
}

const char *DummyLaser::GetHeadId() { return "123456"; }
const char *DummyLaser::GetHeadType() { return "Dummy"; }
const char *DummyLaser::GetHeadBoardRevision() { return "AA"; }
const char *DummyLaser::GetLaserModel() { return "Dummy"; }
double DummyLaser::GetWavelength() { return 399.0; }
double DummyLaser::GetHeadHours() { return 3.142; }

uint16_t DummyLaser::GetSupplyDigitalIo() { return 0xF000; }
uint16_t DummyLaser::GetSupplyGlueInputs() { return 0x0F00; }
uint16_t DummyLaser::GetSupplyGlueOutputs() { return 0x00F0; }
uint16_t DummyLaser::GetHeadDigitalIo() { return 0x000F; }
int32_t DummyLaser::GetFaultFlags() { return 0xF00F; }

void DummyLaser::SetShutterCommand(int on) { shutterValue = on; }
int DummyLaser::GetShutterCommand() { return shutterValue; }
int DummyLaser::GetShutterState() { return shutterValue; }
void DummyLaser::SetKeySwitchCommand(int on) { keySwitchValue = on; }
int DummyLaser::GetKeySwitchCommand() { return keySwitchValue; }
int DummyLaser::GetKeySwitchState() { return keySwitchValue; }
int DummyLaser::GetInterlockState() { return 1; }
void DummyLaser::SetAnalogModeCommand(int on) { analogModeValue = on; }
int DummyLaser::GetAnalogModeCommand() { return analogModeValue; }
int DummyLaser::GetAnalogModeState() { return analogModeValue; }
// Stored as given: the simulated supply has no inverted pin behind it.
void DummyLaser::SetRemoteCommand(int on) { remoteValue = on; }
int DummyLaser::GetRemoteCommand() { return remoteValue; }

// A control mode change starts from zero commands, as the supply zeroes its current converter
// before it switches.
void DummyLaser::SetControlModeCommand(int on) {
    currentCommandValue = 0.0;
    powerCommandValue = 0.0;
    controlModeValue = on;
}
int DummyLaser::GetControlModeCommand() { return controlModeValue; }
int DummyLaser::GetControlModeState() { return controlModeValue; }

double DummyLaser::GetBrfTemperature() { return 25.1; }
double DummyLaser::GetShgTemperature() { return 26.1; }
double DummyLaser::GetBrfTemperatureCommand() { return 25.0; }
double DummyLaser::GetShgTemperatureCommand() { return 26.0; }
double DummyLaser::GetBrfDrive() { return 7.0; }
double DummyLaser::GetShgDrive() { return 7.1; }
double DummyLaser::GetMainTemperature() { return 23.0; }
double DummyLaser::GetMainTemperatureCommand() { return 23.1; }
double DummyLaser::GetMainDrive() { return 6.0; }

double DummyLaser::GetCurrent() { return currentCommandValue + kReadingAboveCommand; }
void DummyLaser::SetCurrentCommand(double amperes) { currentCommandValue = amperes; }
double DummyLaser::GetCurrentCommand() { return currentCommandValue; }
double DummyLaser::GetCurrentLimit() { return currentLimitValue; }
int DummyLaser::GetLaserState() { return 0; }

void DummyLaser::SetPowerCommand(double power) { powerCommandValue = power; }
double DummyLaser::GetPowerCommand() { return powerCommandValue; }
void DummyLaser::SetPowerMemory(double power) { powerMemoryValue = power; }
double DummyLaser::GetPowerMemory() { return powerMemoryValue; }
double DummyLaser::GetPowerLimit() { return powerLimitValue; }
double DummyLaser::GetPower() { return powerCommandValue + kReadingAboveCommand; }
const char *DummyLaser::GetPowerUnits() { return "mW"; }

std::unique_ptr<CommonLaser> CreateSimulatedHead() { return std::make_unique<DummyLaser>(); }

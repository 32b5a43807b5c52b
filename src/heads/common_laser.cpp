#include "heads/common_laser.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "base/bus_map.h"
#include "base/failure_message.h"
#include "heads/conversions.h"

namespace {

using namespace BusMap;

constexpr uint16_t kHeadTextLength = 16;
constexpr std::array<uint16_t, 4> kConfigByteOffsets = {0x1A0, 0x1A1, 0x1A2, 0x1A3};
constexpr std::array<uint16_t, 4> kMatchValueOffsets = {0x190, 0x194, 0x198, 0x19C};
constexpr std::array<uint16_t, 4> kSecondaryMatchOffsets = {0x860, 0x86C, 0x870, 0x904};

// Converter registers named per access.
constexpr uint16_t kDacReadOutput = 0x80;
constexpr uint16_t kDacReadMemory = 0xA0;
constexpr uint16_t kCounterRegister = 5;

// Match set points of the main temperature are accepted strictly inside this span.
constexpr double kMatchTemperatureLow = 15.0;
constexpr double kMatchTemperatureHigh = 30.0;

constexpr int kCurrentLimitFailed = 1;
constexpr int kPowerLimitFailed = 2;
constexpr int kPowerCommandFailed = 4;
constexpr int kMainTemperatureFailed = 8;

using TextBuffer = std::array<char, kHeadTextSize>;

// One buffer per text operation, shared by every head: the text stays valid until the same
// operation runs again.
TextBuffer headIdText{};
TextBuffer headTypeText{};
TextBuffer secondaryTypeText{};
TextBuffer boardRevisionText{};

const char *ReadSharedText(const I2cRegister &descriptor, TextBuffer &buffer) {
    descriptor.ReadText(buffer.data(), buffer.size());
    return buffer.data();
}

}  // namespace

CommonLaser::CommonLaser(const Transport &transport) : transport(transport) {
    using R = I2cRegister;
    boardRevisionDescriptor =
        Attach(R::MemoryText(kHeadMemory, kMemoryPolicy, 0x160, kHeadTextLength));
    powerFullScaleDescriptor = Attach(R::MemoryWord(kHeadMemory, 4, kMemoryPolicy, 0x170));
    headIdDescriptor = Attach(R::MemoryText(kHeadMemory, kMemoryPolicy, 0x110, kHeadTextLength));
    headTypeDescriptor = Attach(R::MemoryText(kHeadMemory, kMemoryPolicy, 0x100, kHeadTextLength));
    secondaryTypeDescriptor =
        Attach(R::MemoryText(kSecondHeadMemory, kMemoryPolicy, 0x100, kHeadTextLength));
    for (size_t i = 0; i < 4; ++i) {
        configByteDescriptors[i] =
            Attach(R::MemoryWord(kHeadMemory, 1, kMemoryPolicy, kConfigByteOffsets[i]));
    }
    for (size_t i = 0; i < 4; ++i) {
        matchValueDescriptors[i] =
            Attach(R::MemoryWord(kHeadMemory, 4, kMemoryPolicy, kMatchValueOffsets[i]));
    }
    for (size_t i = 0; i < 4; ++i) {
        secondaryMatchDescriptors[i] =
            Attach(R::MemoryWord(kSecondHeadMemory, 4, kReadOnce, kSecondaryMatchOffsets[i]));
    }
    supplyIoDescriptor = Attach(R::Device(kSupplyIoExpander, 1, kExpanderPolicy));
    glueInputDescriptor = Attach(R::Device(kGlueInputExpander, 1, kExpanderPolicy));
    glueOutputDescriptor = Attach(R::Device(kGlueOutputExpander, 1, kExpanderPolicy));
    headIoDescriptor = Attach(R::Device(kHeadIoExpander, 1, kExpanderPolicy));
    shutterBit = Attach(R::ExpanderPins(kGlueOutputExpander, kExpanderPolicy, 0, 0x01));
    keySwitchCommandBit = Attach(R::ExpanderPins(kGlueOutputExpander, kExpanderPolicy, 0, 0x20));
    keySwitchStateBit = Attach(R::ExpanderPins(kGlueInputExpander, kExpanderPolicy, 0, 0x02));
    interlockBit = Attach(R::ExpanderPins(kGlueInputExpander, kExpanderPolicy, 0, 0x01));
    analogCommandBit = Attach(R::ExpanderPins(kGlueOutputExpander, kExpanderPolicy, 0, 0x10));
    analogStateBit = Attach(R::ExpanderPins(kGlueInputExpander, kExpanderPolicy, 1, 0x04));
    remoteBit = Attach(R::ExpanderPins(kGlueOutputExpander, kExpanderPolicy, 0, 0x08));
    fanBit = Attach(R::ExpanderPins(kGlueInputExpander, kExpanderPolicy, 1, 0x10));
    mainTemperatureInput = Attach(R::WithCodes(kMainAdc, 2, kReadMedian, {kAdcChannel1, 0, 0, 0}));
    mainTemperaturePot = Attach(R::WithCodes(kMainPot, 1, kPotPolicy, {0x00, 0x00, 0x00, 0x20}));
    mainDriveInput = Attach(R::WithCodes(kMainAdc, 2, kReadMedian, {kAdcChannel5, 0, 0, 0}));
    currentInput = Attach(R::WithCodes(kMainAdc, 2, kReadMedian, {kAdcChannel0, 0, 0, 0}));
    currentLimitPot = Attach(R::WithCodes(kMainPot, 1, kPotPolicy, {0x03, 0x03, 0x03, 0x23}));
    laserStateBit = Attach(R::ExpanderPins(kSupplyIoExpander, kExpanderPolicy, 0, 0x01));
    controlModeCommandBit = Attach(R::ExpanderPins(kGlueOutputExpander, kExpanderPolicy, 0, 0x04));
    controlModeStateBit = Attach(R::ExpanderPins(kGlueInputExpander, kExpanderPolicy, 1, 0x01));
    currentDac = Attach(R::Device(kDac, 2, kReadAgreedAlternative));
    powerDac = Attach(R::Device(kDac, 2, kReadAgreedAlternative));
    powerLimitPot = Attach(R::WithCodes(kMainPot, 1, kPotPolicy, {0x02, 0x02, 0x02, 0x22}));
    powerInput = Attach(R::WithCodes(kMainAdc, 2, kReadMedian, {kAdcChannel6, 0, 0, 0}));
    elapsedTimeCounter = Attach(R::Device(kElapsedTimeCounter, 4, kCounterPolicy));
    headTimeDescriptor = Attach(R::MemoryWord(kHeadMemory, 4, kMemoryPolicy, 0x17C));

    const std::string_view headId = CommonLaser::GetHeadId();
    std::copy_n(headId.begin(), std::min(headId.size(), headIdCopy.size() - 1), headIdCopy.begin());
}

CommonLaser::~CommonLaser() = default;

// ---- helpers ----

CommonLaser::Descriptor CommonLaser::Attach(const I2cRegister &layout) const {
    auto descriptor = std::make_unique<I2cRegister>(layout);
    descriptor->transport = transport;
    return descriptor;
}

const I2cRegister &CommonLaser::Required(const Descriptor &descriptor) {
    if (!descriptor) RaiseFailure(kInvalidCommand);
    return *descriptor;
}

int CommonLaser::ReadBit(const Descriptor &bit) {
    const I2cRegister &pins = Required(bit);
    return (pins.ReadInputPort(pins.pins.port) & pins.pins.mask) != 0 ? 1 : 0;
}

int CommonLaser::ReadBitInverted(const Descriptor &bit) { return 1 - ReadBit(bit); }

void CommonLaser::WriteBit(const Descriptor &bit, bool on) { Required(bit).WriteBit(on); }

uint16_t CommonLaser::ReadBothPorts(const Descriptor &expander) {
    const I2cRegister &device = Required(expander);
    const uint8_t high = device.ReadInputPort(1);
    const uint8_t low = device.ReadInputPort(0);
    return static_cast<uint16_t>(high << 8 | low);
}

double CommonLaser::ReadElapsedHours() const {
    return CounterToHours(Required(elapsedTimeCounter).Read(kCounterRegister));
}

uint8_t CommonLaser::GetConfigByte(size_t index) const {
    return static_cast<uint8_t>(Required(configByteDescriptors[index]).ReadWord());
}

void CommonLaser::SetConfigByte(size_t index, uint8_t value) const {
    Required(configByteDescriptors[index]).WriteWord(value);
}

void CommonLaser::SetConverter(const Descriptor &dac, double value, double fullScale,
                               bool memory) {
    if (std::fabs(fullScale) < kZeroGuard) return;
    // A negative code becomes a large unsigned one, which the converter write refuses.
    const auto code = static_cast<uint32_t>(TruncateToInt32(value / fullScale * 1024));
    const I2cRegister &converter = Required(dac);
    if (memory) {
        converter.WriteDacMemory(code);
    } else {
        converter.WriteDacOutput(code);
    }
}

double CommonLaser::ReadConverter(const Descriptor &dac, uint16_t command, double fullScale) {
    return DacWordToValue(Required(dac).Read(command), fullScale);
}

int CommonLaser::MatchPot(const Descriptor &pot, double value, double fullScale,
                          int failureBit) {
    const auto code = CodeInRange(value * 255 / fullScale + 0.5, 255);
    if (!code) return failureBit;
    const I2cRegister &potentiometer = Required(pot);
    potentiometer.WriteValue(*code);
    potentiometer.WriteValueAlt(*code);
    return 0;
}

void CommonLaser::LoadMatchWords(const std::array<Descriptor, 4> &descriptors, bool reversed) {
    for (size_t i = 0; i < descriptors.size(); ++i) {
        const I2cRegister &word = Required(descriptors[i]);
        const uint32_t bits = word.ReadWord();
        matchValues[i] = SingleFromWord(reversed ? ReverseBytes(bits) : bits);
    }
}

// ---- identification ----

const char *CommonLaser::GetHeadId() {
    return ReadSharedText(Required(headIdDescriptor), headIdText);
}

const char *CommonLaser::GetHeadType() {
    return ReadSharedText(Required(headTypeDescriptor), headTypeText);
}

const char *CommonLaser::GetSecondaryHeadType() {
    if (!secondaryTypeDescriptor) return "n/a";
    return ReadSharedText(*secondaryTypeDescriptor, secondaryTypeText);
}

const char *CommonLaser::GetHeadBoardRevision() {
    return ReadSharedText(Required(boardRevisionDescriptor), boardRevisionText);
}

const char *CommonLaser::GetLaserModel() { return "TBD"; }

double CommonLaser::GetWavelength() { return 0.0; }

double CommonLaser::GetHeadHours() {
    const double electronicsHours = ReadElapsedHours();
    const I2cRegister &headTime = Required(headTimeDescriptor);
    return HeadTimeToHours(headTime.ReadWord()) + electronicsHours;
}

double CommonLaser::GetElectronicsHours() { return ReadElapsedHours(); }

uint8_t CommonLaser::GetConfigByte0() { return GetConfigByte(0); }
uint8_t CommonLaser::GetConfigByte1() { return GetConfigByte(1); }
uint8_t CommonLaser::GetConfigByte2() { return GetConfigByte(2); }
uint8_t CommonLaser::GetConfigByte3() { return GetConfigByte(3); }
void CommonLaser::SetConfigByte0(uint8_t value) { SetConfigByte(0, value); }
void CommonLaser::SetConfigByte1(uint8_t value) { SetConfigByte(1, value); }
void CommonLaser::SetConfigByte2(uint8_t value) { SetConfigByte(2, value); }
void CommonLaser::SetConfigByte3(uint8_t value) { SetConfigByte(3, value); }

// ---- digital inputs and outputs ----

uint16_t CommonLaser::GetSupplyDigitalIo() { return ReadBothPorts(supplyIoDescriptor); }
uint16_t CommonLaser::GetSupplyGlueInputs() { return ReadBothPorts(glueInputDescriptor); }
uint16_t CommonLaser::GetSupplyGlueOutputs() { return ReadBothPorts(glueOutputDescriptor); }
uint16_t CommonLaser::GetHeadDigitalIo() { return ReadBothPorts(headIoDescriptor); }

int32_t CommonLaser::GetFaultFlags() { return 0; }

void CommonLaser::SetShutterCommand(int on) { WriteBit(shutterBit, on != 0); }
int CommonLaser::GetShutterCommand() { return ReadBit(shutterBit); }
int CommonLaser::GetShutterState() { return ReadBit(shutterBit); }

void CommonLaser::SetKeySwitchCommand(int on) { WriteBit(keySwitchCommandBit, on != 0); }
int CommonLaser::GetKeySwitchCommand() { return ReadBit(keySwitchCommandBit); }
int CommonLaser::GetKeySwitchState() { return ReadBitInverted(keySwitchStateBit); }

int CommonLaser::GetInterlockState() { return ReadBit(interlockBit); }

void CommonLaser::SetAnalogModeCommand(int on) { WriteBit(analogCommandBit, on != 0); }
int CommonLaser::GetAnalogModeCommand() { return ReadBit(analogCommandBit); }
int CommonLaser::GetAnalogModeState() { return ReadBit(analogStateBit); }

// The remote and control mode pins are active low.
void CommonLaser::SetRemoteCommand(int on) { WriteBit(remoteBit, on == 0); }
int CommonLaser::GetRemoteCommand() { return ReadBitInverted(remoteBit); }

void CommonLaser::SetControlModeCommand(int on) {
    // The current command is zeroed before the mode changes.
    Required(currentDac).WriteDacOutput(0);
    WriteBit(controlModeCommandBit, on == 0);
}
int CommonLaser::GetControlModeCommand() { return ReadBitInverted(controlModeCommandBit); }
int CommonLaser::GetControlModeState() { return ReadBit(controlModeStateBit); }

int CommonLaser::GetFanState() { return ReadBitInverted(fanBit); }

// ---- stages the common hardware does not have ----

void CommonLaser::SetBrfSetpoint(double) { RaiseFailure(kInvalidCommand); }
void CommonLaser::SetShgSetpoint(double) { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetBrfSetpoint() { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetShgSetpoint() { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetBrfTemperature() { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetShgTemperature() { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetThgTemperature() { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetEtaTemperature() { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetBrfTemperatureCommand() { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetShgTemperatureCommand() { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetThgTemperatureCommand() { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetEtaTemperatureCommand() { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetBrfDrive() { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetShgDrive() { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetThgDrive() { RaiseFailure(kInvalidCommand); }
double CommonLaser::GetEtaDrive() { RaiseFailure(kInvalidCommand); }

// ---- main temperature, drive, current and power ----

void CommonLaser::SetMainTemperatureCommand(double degC) {
    const I2cRegister &pot = Required(mainTemperaturePot);
    // A negative code becomes a large unsigned one, which the potentiometer write refuses.
    if (const auto code = DegCToPotCode(degC)) pot.WriteValue(static_cast<uint32_t>(*code));
}

double CommonLaser::GetMainTemperature() {
    return DividerCodeToDegC(Required(mainTemperatureInput).ReadValue());
}

double CommonLaser::GetMainTemperatureCommand() {
    const I2cRegister &pot = Required(mainTemperaturePot);
    return PotCodeToDegC(pot.Read(pot.codes.code2));
}

double CommonLaser::GetMainDrive() {
    return AdcCodeToValue(Required(mainDriveInput).ReadValue(), mainDriveFullScale);
}

double CommonLaser::GetCurrent() {
    return AdcCodeToValue(Required(currentInput).ReadValue(), currentFullScale);
}

void CommonLaser::SetCurrentCommand(double amperes) {
    SetConverter(currentDac, amperes, currentFullScale, false);
}

double CommonLaser::GetCurrentCommand() {
    return ReadConverter(currentDac, kDacReadOutput, currentFullScale);
}

double CommonLaser::GetCurrentLimit() {
    const I2cRegister &pot = Required(currentLimitPot);
    return PotCodeToValue(pot.Read(pot.codes.code2), currentFullScale);
}

int CommonLaser::GetLaserState() { return ReadBitInverted(laserStateBit); }

void CommonLaser::SetPowerCommand(double power) {
    SetConverter(powerDac, power, powerFullScale, false);
}

double CommonLaser::GetPowerCommand() {
    return ReadConverter(powerDac, kDacReadOutput, powerFullScale);
}

void CommonLaser::SetPowerMemory(double power) {
    SetConverter(powerDac, power, powerFullScale, true);
}

double CommonLaser::GetPowerMemory() {
    return ReadConverter(powerDac, kDacReadMemory, powerFullScale);
}

double CommonLaser::GetPowerLimit() {
    const I2cRegister &pot = Required(powerLimitPot);
    return PotCodeToValue(pot.Read(pot.codes.code2), powerFullScale);
}

double CommonLaser::GetPower() {
    return AdcCodeToValue(Required(powerInput).ReadValue(), powerFullScale);
}

const char *CommonLaser::GetPowerUnits() { return "W"; }

// ---- matching the supply to the head ----

int CommonLaser::MatchHeadSettings() {
    // Every quantity is programmed whatever the others gave.
    int failed = MatchCurrentLimit(matchValues[0]);
    failed |= MatchPowerLimit(matchValues[1]);
    failed |= MatchPowerCommand(matchValues[2]);
    failed |= MatchMainTemperature(matchValues[3]);
    return failed;
}

void CommonLaser::LoadMatchValues() { LoadMatchWords(matchValueDescriptors, false); }

// The second memory holds its singles least significant byte first.
void CommonLaser::LoadMatchValuesSecondary() { LoadMatchWords(secondaryMatchDescriptors, true); }

int CommonLaser::MatchCurrentLimit(double amperes) {
    return MatchPot(currentLimitPot, amperes, currentFullScale, kCurrentLimitFailed);
}

int CommonLaser::MatchPowerLimit(double power) {
    return MatchPot(powerLimitPot, power, powerFullScale, kPowerLimitFailed);
}

int CommonLaser::MatchPowerCommand(double power) {
    const auto code = CodeInRange(power * 1023 / powerFullScale + 0.5, 1023);
    if (!code) return kPowerCommandFailed;
    const I2cRegister &dac = Required(powerDac);
    dac.WriteDacOutput(*code);
    dac.WriteDacMemory(*code);
    return 0;
}

int CommonLaser::MatchMainTemperature(double degC) {
    if (!(degC > kMatchTemperatureLow && degC < kMatchTemperatureHigh)) {
        return kMainTemperatureFailed;
    }
    const I2cRegister &pot = Required(mainTemperaturePot);
    // Each register gets its own conversion; a negative code is refused by the write.
    if (const auto code = DegCToPotCode(degC)) pot.WriteValue(static_cast<uint32_t>(*code));
    if (const auto code = DegCToPotCode(degC)) pot.WriteValueAlt(static_cast<uint32_t>(*code));
    return 0;
}

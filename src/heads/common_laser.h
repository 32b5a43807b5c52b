// The base class of every head model: the operations the command language can ask of a head, in
// their fixed slot order, with the behaviour of the supply's common hardware and of the head's
// identification memory. Head classes replace descriptors or operations where their hardware
// differs.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "transport/i2c_register.h"

// Size of every text a head hands out or keeps (terminator included).
inline constexpr size_t kHeadTextSize = 100;

class CommonLaser {
public:
    using Descriptor = std::unique_ptr<I2cRegister>;  // empty when a head class has none

    // Creates the descriptors on `transport` and reads the head identifier, so constructing a
    // head already reads its memory.
    explicit CommonLaser(const Transport &transport = NullTransport{});
    virtual ~CommonLaser();

    CommonLaser(const CommonLaser &) = delete;
    CommonLaser &operator=(const CommonLaser &) = delete;

    // ---- operations, in slot order ----
    virtual const char *GetHeadId();
    virtual const char *GetHeadType();
    virtual const char *GetSecondaryHeadType();
    virtual const char *GetHeadBoardRevision();
    virtual const char *GetLaserModel();
    virtual double GetWavelength();
    virtual double GetHeadHours();
    virtual double GetElectronicsHours();
    virtual uint8_t GetConfigByte0();
    virtual uint8_t GetConfigByte1();
    virtual uint8_t GetConfigByte2();
    virtual uint8_t GetConfigByte3();
    virtual void SetConfigByte0(uint8_t value);
    virtual void SetConfigByte1(uint8_t value);
    virtual void SetConfigByte2(uint8_t value);
    virtual void SetConfigByte3(uint8_t value);
    virtual uint16_t GetSupplyDigitalIo();
    virtual uint16_t GetSupplyGlueInputs();
    virtual uint16_t GetSupplyGlueOutputs();
    virtual uint16_t GetHeadDigitalIo();
    virtual int32_t GetFaultFlags();
    virtual void SetShutterCommand(int on);
    virtual int GetShutterCommand();
    virtual int GetShutterState();
    virtual void SetKeySwitchCommand(int on);
    virtual int GetKeySwitchCommand();
    virtual int GetKeySwitchState();
    virtual int GetInterlockState();
    virtual void SetAnalogModeCommand(int on);
    virtual int GetAnalogModeCommand();
    virtual int GetAnalogModeState();
    virtual void SetRemoteCommand(int on);
    virtual int GetRemoteCommand();
    virtual void SetControlModeCommand(int on);
    virtual int GetControlModeCommand();
    virtual int GetControlModeState();
    virtual int GetFanState();
    virtual void SetBrfSetpoint(double value);
    virtual void SetShgSetpoint(double value);
    virtual double GetBrfSetpoint();
    virtual double GetShgSetpoint();
    virtual double GetBrfTemperature();
    virtual double GetShgTemperature();
    virtual double GetThgTemperature();
    virtual double GetEtaTemperature();
    virtual double GetBrfTemperatureCommand();
    virtual double GetShgTemperatureCommand();
    virtual double GetThgTemperatureCommand();
    virtual double GetEtaTemperatureCommand();
    virtual double GetBrfDrive();
    virtual double GetShgDrive();
    virtual double GetThgDrive();
    virtual double GetEtaDrive();
    virtual void SetMainTemperatureCommand(double degC);
    virtual double GetMainTemperature();
    virtual double GetMainTemperatureCommand();
    virtual double GetMainDrive();
    virtual double GetCurrent();
    virtual void SetCurrentCommand(double amperes);
    virtual double GetCurrentCommand();
    virtual double GetCurrentLimit();
    virtual int GetLaserState();
    virtual void SetPowerCommand(double power);
    virtual double GetPowerCommand();
    virtual void SetPowerMemory(double power);
    virtual double GetPowerMemory();
    virtual double GetPowerLimit();
    virtual double GetPower();
    virtual const char *GetPowerUnits();
    // Programs the four match values; the OR of the failure bits of the quantities not programmed
    // (1 current limit, 2 power limit, 4 power command, 8 main temperature), 0 when all were.
    virtual int MatchHeadSettings();
    virtual void LoadMatchValues();
    virtual void LoadMatchValuesSecondary();
    virtual int MatchCurrentLimit(double amperes);
    virtual int MatchPowerLimit(double power);
    virtual int MatchPowerCommand(double power);
    virtual int MatchMainTemperature(double degC);

    // ---- members, in order ----
    double powerFullScale = 0.0;
    double currentFullScale = 0.0;
    double powerDisplayFactor = 1.0;  // the interpreter multiplies power readings by it
    double mainDriveFullScale = 48.0;
    Descriptor boardRevisionDescriptor;
    Descriptor powerFullScaleDescriptor;  // an IEEE single, read by head-class constructors
    std::array<char, kHeadTextSize> headIdCopy{};
    // Current limit (A), power limit, power command, main temperature set point (degrees C).
    std::array<double, 4> matchValues{};
    Transport transport;  // the device's, copied into every descriptor
    Descriptor headIdDescriptor;
    Descriptor headTypeDescriptor;
    Descriptor secondaryTypeDescriptor;
    std::array<Descriptor, 4> configByteDescriptors;
    std::array<Descriptor, 4> matchValueDescriptors;
    std::array<Descriptor, 4> secondaryMatchDescriptors;
    Descriptor supplyIoDescriptor;
    Descriptor glueInputDescriptor;
    Descriptor glueOutputDescriptor;
    Descriptor headIoDescriptor;
    Descriptor shutterBit;
    Descriptor keySwitchCommandBit;
    Descriptor keySwitchStateBit;
    Descriptor interlockBit;
    Descriptor analogCommandBit;
    Descriptor analogStateBit;
    Descriptor remoteBit;
    Descriptor fanBit;
    Descriptor mainTemperatureInput;
    Descriptor mainTemperaturePot;
    Descriptor mainDriveInput;
    Descriptor currentInput;
    Descriptor currentLimitPot;
    Descriptor laserStateBit;
    Descriptor controlModeCommandBit;
    Descriptor controlModeStateBit;
    Descriptor currentDac;
    Descriptor powerDac;
    Descriptor powerLimitPot;
    Descriptor powerInput;
    Descriptor elapsedTimeCounter;
    Descriptor headTimeDescriptor;

protected:
    // A descriptor of `layout` on this head's bus.
    Descriptor Attach(const I2cRegister &layout) const;
    // The descriptor itself; "Invalid command" when the head class has none.
    static const I2cRegister &Required(const Descriptor &descriptor);

    // Expander pins: 1 when a pin of the mask is set (inverted: when none is), and setting them.
    static int ReadBit(const Descriptor &bit);
    static int ReadBitInverted(const Descriptor &bit);
    static void WriteBit(const Descriptor &bit, bool on);
    // Port 1 of a whole expander in the high byte, port 0 in the low byte; port 1 is read first.
    static uint16_t ReadBothPorts(const Descriptor &expander);

    // Elapsed-time counter in hours (it counts quarter seconds).
    double ReadElapsedHours() const;

private:
    uint8_t GetConfigByte(size_t index) const;
    void SetConfigByte(size_t index, uint8_t value) const;
    // Writes value / fullScale x 1024 to a converter; nothing when the full scale is zero.
    static void SetConverter(const Descriptor &dac, double value, double fullScale, bool memory);
    static double ReadConverter(const Descriptor &dac, uint16_t command, double fullScale);
    static int MatchPot(const Descriptor &pot, double value, double fullScale, int failureBit);
    void LoadMatchWords(const std::array<Descriptor, 4> &descriptors, bool reversed);
};

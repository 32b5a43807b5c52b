// A virtual power supply with its head: every I2C part of the supply and the head on one bus, and
// typed access for tests, presets and front ends (set a converter code, drive an expander input,
// look at a wiper, fill the head memories).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "bus/i2c_bus.h"
#include "bus/register_memory.h"
#include "bus/supply_devices.h"

namespace sim {

enum class ByteOrder { MostSignificantFirst, LeastSignificantFirst };

class VirtualSupply {
public:
    // Bus addresses (8-bit form).
    static constexpr uint8_t kSupplyIoExpander = 0x40;
    static constexpr uint8_t kHeadIoExpander = 0x44;
    static constexpr uint8_t kGlueInputExpander = 0x48;
    static constexpr uint8_t kGlueOutputExpander = 0x4A;
    static constexpr uint8_t kMainAdc = 0x90;
    static constexpr uint8_t kHeadAdc = 0x94;
    static constexpr uint8_t kStageAdc = 0x96;
    static constexpr uint8_t kDac = 0x52;
    static constexpr uint8_t kMainPot = 0x58;
    static constexpr uint8_t kHeadPot = 0x5C;
    static constexpr uint8_t kElapsedTimeCounter = 0xD6;
    static constexpr uint8_t kHeadMemory = 0xA4;
    static constexpr uint8_t kSecondHeadMemory = 0xAE;

    static constexpr size_t kHeadMemorySize = 0x1000;
    static constexpr size_t kCounterRegisters = 0x20;
    // The counter's four bytes, least significant first.
    static constexpr size_t kCounterRegister = 5;

    // The parts on a bus of the supply's own.
    VirtualSupply();
    // The parts attached to a bus another front end owns (the bridge emulator's); the bus must
    // outlive the supply.
    explicit VirtualSupply(I2cBus &bus);
    VirtualSupply(const VirtualSupply &) = delete;
    VirtualSupply &operator=(const VirtualSupply &) = delete;

    I2cBus &Bus() { return *bus_; }

    // The parts by address; std::out_of_range when no part of that kind sits there.
    IoExpander &Expander(uint8_t address) const;
    AdcConverter &Adc(uint8_t address) const;
    Potentiometer &Pot(uint8_t address) const;
    RegisterMemory &Memory(uint8_t address) const;
    DacConverter &Dac() const { return *dac_; }
    RegisterMemory &Counter() const { return *counter_; }

    // The code the converter at `address` gives for the conversion command byte `command`.
    void SetAdcCode(uint8_t address, uint8_t command, uint16_t code);
    void SetExternalLevels(uint8_t expander, uint8_t port, uint8_t levels);
    uint8_t Wiper(uint8_t pot, uint8_t channel) const { return Pot(pot).Wiper(channel); }

    void SetElapsedQuarterSeconds(uint32_t count);
    uint32_t ElapsedQuarterSeconds() const;

    void WriteMemory(uint8_t memory, uint16_t offset, std::span<const uint8_t> bytes);
    std::vector<uint8_t> ReadMemory(uint8_t memory, uint16_t offset, size_t count) const;
    // The characters followed by a terminator.
    void WriteText(uint8_t memory, uint16_t offset, std::string_view text);
    void WriteWord(uint8_t memory, uint16_t offset, uint32_t word, ByteOrder order);
    uint32_t ReadWord(uint8_t memory, uint16_t offset, ByteOrder order) const;
    // An IEEE 754 single.
    void WriteSingle(uint8_t memory, uint16_t offset, float value, ByteOrder order);

private:
    void AttachParts();
    template <class Device, class... Args>
    Device *Add(uint8_t address, Args... args);

    std::unique_ptr<I2cBus> ownBus_;  // null when the parts sit on another front end's bus
    I2cBus *bus_;
    std::map<uint8_t, IoExpander *> expanders_;
    std::map<uint8_t, AdcConverter *> adcs_;
    std::map<uint8_t, Potentiometer *> pots_;
    std::map<uint8_t, RegisterMemory *> memories_;
    DacConverter *dac_ = nullptr;
    RegisterMemory *counter_ = nullptr;
};

}  // namespace sim

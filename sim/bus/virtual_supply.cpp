#include "bus/virtual_supply.h"

#include <array>
#include <bit>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace sim {

namespace {

constexpr uint8_t kExpanders[] = {VirtualSupply::kSupplyIoExpander, VirtualSupply::kHeadIoExpander,
                                  VirtualSupply::kGlueInputExpander,
                                  VirtualSupply::kGlueOutputExpander};
constexpr uint8_t kAdcs[] = {VirtualSupply::kMainAdc, VirtualSupply::kHeadAdc,
                             VirtualSupply::kStageAdc};
constexpr uint8_t kPots[] = {VirtualSupply::kMainPot, VirtualSupply::kHeadPot};
constexpr uint8_t kMemories[] = {VirtualSupply::kHeadMemory, VirtualSupply::kSecondHeadMemory};
constexpr unsigned kMemoryOffsetBytes = 2;
constexpr unsigned kCounterPointerBytes = 1;

template <class Device>
Device &Lookup(const std::map<uint8_t, Device *> &parts, uint8_t address, const char *kind) {
    const auto it = parts.find(address);
    if (it == parts.end()) {
        char message[64];
        std::snprintf(message, sizeof message, "VirtualSupply: no %s at 0x%02X", kind, address);
        throw std::out_of_range(message);
    }
    return *it->second;
}

// Where byte i of a word in memory sits in the word.
unsigned ShiftOf(size_t i, ByteOrder order) {
    return static_cast<unsigned>(8 * (order == ByteOrder::MostSignificantFirst ? 3 - i : i));
}

std::array<uint8_t, 4> WordBytes(uint32_t word, ByteOrder order) {
    std::array<uint8_t, 4> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(word >> ShiftOf(i, order));
    }
    return bytes;
}

uint32_t WordFromBytes(const std::vector<uint8_t> &bytes, ByteOrder order) {
    uint32_t word = 0;
    for (size_t i = 0; i < 4; ++i) {
        word |= static_cast<uint32_t>(bytes.at(i)) << ShiftOf(i, order);
    }
    return word;
}

}  // namespace

namespace {
constexpr uint8_t kMainTemperatureChannel = 0x94;  // the command that selects it
constexpr uint16_t kRoomTemperatureCode = 2048;
}  // namespace

VirtualSupply::VirtualSupply() : ownBus_(std::make_unique<I2cBus>()), bus_(ownBus_.get()) {
    AttachParts();
}

VirtualSupply::VirtualSupply(I2cBus &bus) : bus_(&bus) { AttachParts(); }

void VirtualSupply::AttachParts() {
    for (uint8_t address : kExpanders) expanders_[address] = Add<IoExpander>(address);
    for (uint8_t address : kAdcs) adcs_[address] = Add<AdcConverter>(address);
    for (uint8_t address : kPots) pots_[address] = Add<Potentiometer>(address);
    for (uint8_t address : kMemories) {
        memories_[address] = Add<RegisterMemory>(address, kHeadMemorySize, kMemoryOffsetBytes);
    }
    dac_ = Add<DacConverter>(kDac);
    counter_ = Add<RegisterMemory>(kElapsedTimeCounter, kCounterRegisters, kCounterPointerBytes);
    // A supply at rest in a room: its main thermistor divider reads 25 degrees Celsius (half
    // scale: the thermistor equals the divider resistor), drive, current and power read 0.
    SetAdcCode(kMainAdc, kMainTemperatureChannel, kRoomTemperatureCode);
}

template <class Device, class... Args>
Device *VirtualSupply::Add(uint8_t address, Args... args) {
    auto device = std::make_unique<Device>(args...);
    Device *part = device.get();
    bus_->Attach(address, std::move(device));
    return part;
}

IoExpander &VirtualSupply::Expander(uint8_t address) const {
    return Lookup(expanders_, address, "expander");
}

AdcConverter &VirtualSupply::Adc(uint8_t address) const {
    return Lookup(adcs_, address, "converter");
}

Potentiometer &VirtualSupply::Pot(uint8_t address) const {
    return Lookup(pots_, address, "potentiometer");
}

RegisterMemory &VirtualSupply::Memory(uint8_t address) const {
    return Lookup(memories_, address, "memory");
}

void VirtualSupply::SetAdcCode(uint8_t address, uint8_t command, uint16_t code) {
    Adc(address).SetCode(AdcConverter::ChannelOfCommand(command), code);
}

void VirtualSupply::SetExternalLevels(uint8_t expander, uint8_t port, uint8_t levels) {
    Expander(expander).SetExternalLevels(port, levels);
}

void VirtualSupply::SetElapsedQuarterSeconds(uint32_t count) {
    counter_->Load(kCounterRegister, WordBytes(count, ByteOrder::LeastSignificantFirst));
}

uint32_t VirtualSupply::ElapsedQuarterSeconds() const {
    return WordFromBytes(counter_->Contents(kCounterRegister, 4),
                         ByteOrder::LeastSignificantFirst);
}

void VirtualSupply::WriteMemory(uint8_t memory, uint16_t offset, std::span<const uint8_t> bytes) {
    Memory(memory).Load(offset, bytes);
}

std::vector<uint8_t> VirtualSupply::ReadMemory(uint8_t memory, uint16_t offset,
                                               size_t count) const {
    return Memory(memory).Contents(offset, count);
}

void VirtualSupply::WriteText(uint8_t memory, uint16_t offset, std::string_view text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    WriteMemory(memory, offset, bytes);
}

void VirtualSupply::WriteWord(uint8_t memory, uint16_t offset, uint32_t word, ByteOrder order) {
    WriteMemory(memory, offset, WordBytes(word, order));
}

uint32_t VirtualSupply::ReadWord(uint8_t memory, uint16_t offset, ByteOrder order) const {
    return WordFromBytes(ReadMemory(memory, offset, 4), order);
}

void VirtualSupply::WriteSingle(uint8_t memory, uint16_t offset, float value, ByteOrder order) {
    WriteWord(memory, offset, std::bit_cast<uint32_t>(value), order);
}

}  // namespace sim

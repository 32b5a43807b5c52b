#include "bus/supply_devices.h"

namespace sim {

namespace {
// What the master reads from a part that has no valid command: the released bus.
constexpr uint8_t kIdleBus = 0xFF;
}  // namespace

// ---- CommandDevice ----

void CommandDevice::Start(bool read) {
    if (!read) commandPending_ = true;
    index_ = 0;
}

bool CommandDevice::WriteByte(uint8_t value) {
    if (commandPending_) {
        commandPending_ = false;
        command_ = value;
        commandValid_ = AcceptCommand(value);
        return commandValid_;
    }
    return commandValid_ && WriteData(command_, index_++, value);
}

uint8_t CommandDevice::ReadByte() {
    return commandValid_ ? ReadData(command_, index_++) : kIdleBus;
}

// ---- IoExpander ----

uint8_t IoExpander::Input(uint8_t port) const {
    const uint8_t inputs = config_.at(port);
    return static_cast<uint8_t>((output_.at(port) & ~inputs) | (external_.at(port) & inputs));
}

bool IoExpander::AcceptCommand(uint8_t command) {
    return command == kInput || command == kInput + 1 || command == kOutput ||
           command == kOutput + 1 || command == kConfig || command == kConfig + 1;
}

bool IoExpander::WriteData(uint8_t command, uint32_t index, uint8_t value) {
    const uint8_t reg = static_cast<uint8_t>(command ^ (index & 1));
    const uint8_t port = reg & 1;
    if (reg - port == kOutput) output_[port] = value;
    if (reg - port == kConfig) config_[port] = value;
    return true;  // writes to the input registers are acknowledged and ignored
}

uint8_t IoExpander::ReadData(uint8_t command, uint32_t index) {
    const uint8_t reg = static_cast<uint8_t>(command ^ (index & 1));
    const uint8_t port = reg & 1;
    if (reg - port == kOutput) return output_[port];
    if (reg - port == kConfig) return config_[port];
    return Input(port);
}

// ---- AdcConverter ----

uint8_t AdcConverter::ChannelOfCommand(uint8_t command) {
    // Bits C2 C1 C0 (6-4) select the channel in the order 0, 2, 4, 6, 1, 3, 5, 7.
    const unsigned select = (command >> 4) & 0x7;
    return static_cast<uint8_t>(((select & 1) << 1) | ((select & 2) << 1) | (select >> 2));
}

bool AdcConverter::AcceptCommand(uint8_t) { return true; }

bool AdcConverter::WriteData(uint8_t, uint32_t, uint8_t) { return false; }

uint8_t AdcConverter::ReadData(uint8_t command, uint32_t index) {
    const uint16_t code = codes_[ChannelOfCommand(command)];
    return static_cast<uint8_t>(index % 2 == 0 ? code >> 8 : code);
}

// ---- DacConverter ----

bool DacConverter::AcceptCommand(uint8_t command) {
    return command == kReadOutput || command == kWriteOutput || command == kWriteMemory;
}

bool DacConverter::WriteData(uint8_t command, uint32_t index, uint8_t value) {
    if (command == kReadOutput || index > 1) return false;
    if (index == 0) {
        pendingHigh_ = value;
        return true;
    }
    const auto code = static_cast<uint16_t>((pendingHigh_ << 8 | value) & kMaxCode);
    if (command == kWriteOutput) {
        output_ = code;
    } else {
        memory_ = code;
    }
    return true;
}

uint8_t DacConverter::ReadData(uint8_t command, uint32_t index) {
    if (command == kWriteMemory) return kIdleBus;
    const uint16_t code = command == kReadOutput ? output_ : memory_;
    return static_cast<uint8_t>(index % 2 == 0 ? code >> 8 : code);
}

// ---- Potentiometer ----

void Potentiometer::SetStoredWiper(uint8_t channel, uint8_t value) {
    stored_.at(channel) = value;
    wipers_.at(channel) = value;
}

bool Potentiometer::AcceptCommand(uint8_t command) {
    return (command & ~0x23) == 0;  // 0x00-0x03 and 0x20-0x23
}

uint8_t &Potentiometer::Register(uint8_t command) {
    return (command & kStored) != 0 ? stored_[command & 0x3] : wipers_[command & 0x3];
}

bool Potentiometer::WriteData(uint8_t command, uint32_t index, uint8_t value) {
    if (index > 0) return false;
    Register(command) = value;
    return true;
}

uint8_t Potentiometer::ReadData(uint8_t command, uint32_t) { return Register(command); }

}  // namespace sim

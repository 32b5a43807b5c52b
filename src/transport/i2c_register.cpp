#include "transport/i2c_register.h"

#include <algorithm>
#include <array>

#include "base/failure_message.h"

namespace {

constexpr int kAgreedReads = 5;
constexpr uint32_t kMaxByte = 255;
constexpr uint32_t kMaxDacCode = 1023;
constexpr uint16_t kDacOutput = 0xA0;
constexpr uint16_t kDacMemory = 0xC0;

// Expander registers of port 0; port 1 is the next register.
constexpr uint16_t kInputPort = 0;
constexpr uint16_t kOutputPort = 2;
constexpr uint16_t kConfigPort = 6;

uint16_t PortRegister(uint16_t portZeroRegister, uint8_t port) {
    if (port > 1) RaiseFailure(kUnexpectedError);
    return static_cast<uint16_t>(portZeroRegister + port);
}

void CheckRange(uint32_t value, uint32_t max) {
    if (value > max) RaiseFailure(kInvalidData);
}

}  // namespace

uint32_t I2cRegister::ReadOnce(uint16_t code) const {
    return TransportRead(transport, address, code, commandNumberOfBytes, dataNumberOfBytes,
                         readPolicy == kReadAgreedAlternative);
}

uint32_t I2cRegister::ReadAgreed(uint16_t code) const {
    std::array<uint32_t, kAgreedReads> seen{};
    seen[0] = ReadOnce(code);
    for (int i = 1; i < kAgreedReads; ++i) {
        seen[i] = ReadOnce(code);
        if (std::find(seen.begin(), seen.begin() + i, seen[i]) != seen.begin() + i) return seen[i];
    }
    return seen[0];
}

uint32_t I2cRegister::ReadMedian(uint16_t code) const {
    std::array<uint32_t, 3> reads{};
    for (uint32_t &read : reads) read = ReadOnce(code);
    std::sort(reads.begin(), reads.end());
    return reads[1];
}

uint32_t I2cRegister::Read(uint16_t code) const {
    switch (readPolicy) {
    case kReadMedian:
        return ReadMedian(code);
    case kReadOnce:
        return ReadOnce(code);
    default:
        return ReadAgreed(code);
    }
}

uint32_t I2cRegister::ReadValue() const { return Read(codes.code0); }

uint32_t I2cRegister::ReadWord() const { return Read(offset); }

void I2cRegister::WriteWord(uint32_t value) const { Write(offset, value); }

void I2cRegister::Write(uint16_t command, uint32_t value) const {
    TransportWrite(transport, address, command, commandNumberOfBytes, value, dataNumberOfBytes);
}

void I2cRegister::WriteValue(uint32_t value) const {
    CheckRange(value, kMaxByte);
    Write(codes.code1, value);
}

void I2cRegister::WriteValueAlt(uint32_t value) const {
    CheckRange(value, kMaxByte);
    Write(codes.code3, value);
}

void I2cRegister::WriteDacOutput(uint32_t value) const {
    CheckRange(value, kMaxDacCode);
    Write(kDacOutput, value);
}

void I2cRegister::WriteDacMemory(uint32_t value) const {
    CheckRange(value, kMaxDacCode);
    Write(kDacMemory, value);
}

void I2cRegister::ReadText(char *buffer, size_t capacity) const {
    if (capacity == 0) return;
    const size_t length = std::min<size_t>(text.textLength, capacity - 1);
    for (size_t i = 0; i < length; ++i) {
        buffer[i] = static_cast<char>(Read(static_cast<uint16_t>(text.textStart + i)));
        if (buffer[i] == '\0') return;
    }
    buffer[length] = '\0';
}

uint8_t I2cRegister::ReadInputPort(uint8_t port) const {
    return static_cast<uint8_t>(Read(PortRegister(kInputPort, port)));
}

void I2cRegister::WriteOutputPort(uint8_t port, uint8_t value) const {
    Write(PortRegister(kOutputPort, port), value);
}

uint8_t I2cRegister::ReadConfigPort(uint8_t port) const {
    return static_cast<uint8_t>(Read(PortRegister(kConfigPort, port)));
}

void I2cRegister::WriteConfigPort(uint8_t port, uint8_t value) const {
    Write(PortRegister(kConfigPort, port), value);
}

void I2cRegister::WriteBit(bool on) const {
    // Configuration bits cleared are outputs.
    const uint8_t config = ReadConfigPort(pins.port);
    WriteConfigPort(pins.port, static_cast<uint8_t>(config & ~pins.mask));
    // The new output state starts from the levels on the pins, not from the last value written.
    const uint8_t levels = ReadInputPort(pins.port);
    WriteOutputPort(pins.port, static_cast<uint8_t>(on ? levels | pins.mask : levels & ~pins.mask));
}

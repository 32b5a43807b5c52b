// Models of the supply's I2C parts that are addressed by a command byte: the two-port I/O
// expanders, the eight-channel 12-bit converter, the 10-bit output converter and the four-channel
// potentiometer. (Memories and the elapsed-time counter are plain register files:
// RegisterMemory.)
#pragma once

#include <array>
#include <cstdint>

#include "bus/i2c_bus.h"

namespace sim {

// A part whose first byte after a write start is a command; the bytes that follow, written or
// read, are numbered from 0 within the transaction. A read after a repeated start keeps the
// command.
class CommandDevice : public I2cDevice {
public:
    void Start(bool read) override;
    bool WriteByte(uint8_t value) override;
    uint8_t ReadByte() override;

protected:
    // False leaves the command unacknowledged.
    virtual bool AcceptCommand(uint8_t command) = 0;
    virtual bool WriteData(uint8_t command, uint32_t index, uint8_t value) = 0;
    virtual uint8_t ReadData(uint8_t command, uint32_t index) = 0;

private:
    bool commandPending_ = false;
    bool commandValid_ = false;
    uint8_t command_ = 0;
    uint32_t index_ = 0;
};

// Two 8-bit ports: registers 0/1 input, 2/3 output, 6/7 configuration (a set bit is an input).
// Bytes after the command alternate between the two registers of the pair. An input read shows the
// output latch on output pins and the external level on input pins.
class IoExpander : public CommandDevice {
public:
    static constexpr uint8_t kInput = 0, kOutput = 2, kConfig = 6;

    void SetExternalLevels(uint8_t port, uint8_t levels) { external_.at(port) = levels; }
    uint8_t Output(uint8_t port) const { return output_.at(port); }
    uint8_t Config(uint8_t port) const { return config_.at(port); }
    uint8_t Input(uint8_t port) const;

protected:
    bool AcceptCommand(uint8_t command) override;
    bool WriteData(uint8_t command, uint32_t index, uint8_t value) override;
    uint8_t ReadData(uint8_t command, uint32_t index) override;

private:
    // Power-on state: every pin an input, latches high, nothing driven from outside.
    std::array<uint8_t, 2> external_{0x00, 0x00};
    std::array<uint8_t, 2> output_{0xFF, 0xFF};
    std::array<uint8_t, 2> config_{0xFF, 0xFF};
};

// Eight single-ended channels of 12 bits. The command byte's bits 6-4 choose the channel (in the
// part's interleaved order); the read gives the code in two bytes, most significant first.
class AdcConverter : public CommandDevice {
public:
    static constexpr uint16_t kMaxCode = 0x0FFF;

    static uint8_t ChannelOfCommand(uint8_t command);
    // Codes above 12 bits are cut to 12.
    void SetCode(uint8_t channel, uint16_t code) { codes_.at(channel) = code & kMaxCode; }
    uint16_t Code(uint8_t channel) const { return codes_.at(channel); }

protected:
    bool AcceptCommand(uint8_t command) override;
    bool WriteData(uint8_t command, uint32_t index, uint8_t value) override;
    uint8_t ReadData(uint8_t command, uint32_t index) override;

private:
    std::array<uint16_t, 8> codes_{};
};

// The 10-bit output converter with a stored value: command 0xA0 with two bytes sets the output,
// 0xC0 the memory; reads of 0x80 and 0xA0 give the output and the memory back, in two bytes,
// most significant first, right-aligned.
class DacConverter : public CommandDevice {
public:
    static constexpr uint8_t kReadOutput = 0x80;
    static constexpr uint8_t kWriteOutput = 0xA0;
    static constexpr uint8_t kReadMemory = 0xA0;
    static constexpr uint8_t kWriteMemory = 0xC0;
    static constexpr uint16_t kMaxCode = 0x03FF;

    uint16_t Output() const { return output_; }
    uint16_t Memory() const { return memory_; }
    void SetOutput(uint16_t code) { output_ = code & kMaxCode; }
    void SetMemory(uint16_t code) { memory_ = code & kMaxCode; }

protected:
    bool AcceptCommand(uint8_t command) override;
    bool WriteData(uint8_t command, uint32_t index, uint8_t value) override;
    uint8_t ReadData(uint8_t command, uint32_t index) override;

private:
    uint8_t pendingHigh_ = 0;  // of the word being written
    uint16_t output_ = 0;
    uint16_t memory_ = 0;
};

// Four wipers of 256 steps: volatile registers 0x00-0x03, stored registers 0x20-0x23, one byte
// each. The volatile wipers start at the stored values, mid-scale as delivered.
class Potentiometer : public CommandDevice {
public:
    static constexpr uint8_t kVolatile = 0x00;
    static constexpr uint8_t kStored = 0x20;

    uint8_t Wiper(uint8_t channel) const { return wipers_.at(channel); }
    uint8_t StoredWiper(uint8_t channel) const { return stored_.at(channel); }
    void SetWiper(uint8_t channel, uint8_t value) { wipers_.at(channel) = value; }
    // A stored value as at power-on: both registers take it.
    void SetStoredWiper(uint8_t channel, uint8_t value);

protected:
    bool AcceptCommand(uint8_t command) override;
    bool WriteData(uint8_t command, uint32_t index, uint8_t value) override;
    uint8_t ReadData(uint8_t command, uint32_t index) override;

private:
    uint8_t &Register(uint8_t command);

    std::array<uint8_t, 4> wipers_{0x80, 0x80, 0x80, 0x80};
    std::array<uint8_t, 4> stored_{0x80, 0x80, 0x80, 0x80};
};

}  // namespace sim

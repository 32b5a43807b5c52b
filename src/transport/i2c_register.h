// Register descriptors: how a head reaches one quantity of its hardware. Every access goes to the
// transport the current call selected (the adapter library or the bridge); reads are repeated as
// the descriptor's read policy says.
#pragma once

#include <cstdint>

using TransportLink = intptr_t;

// Read policies in use: 2 median of three, 7 one read, 6 agreed reads by the alternative read,
// anything else agreed reads.
inline constexpr int32_t kReadMedian = 2;
inline constexpr int32_t kReadOnce = 7;
inline constexpr int32_t kReadAgreedAlternative = 6;

// One access to the selected transport: the adapter library (2), the bridge (5), or none.
uint32_t TransportRead(TransportLink link, uint8_t address, uint16_t command,
                       uint8_t commandNumberOfBytes, uint8_t dataNumberOfBytes, bool alternative);
void TransportWrite(TransportLink link, uint8_t address, uint16_t command,
                    uint8_t commandNumberOfBytes, uint32_t data, uint8_t dataNumberOfBytes);

class I2cRegister {
public:
    // The code area: four command codes, one 16-bit memory offset, a text's start and length, or
    // an expander port and pin mask, as the descriptor's use has it.
    struct Codes {
        uint8_t code0 = 0, code1 = 0, code2 = 0, code3 = 0;
    };
    struct Text {
        uint16_t textStart = 0, textLength = 0;
    };
    struct Pins {
        uint8_t port = 0, mask = 0;
    };

    uint8_t address = 0;
    uint8_t commandNumberOfBytes = 1;
    uint8_t dataNumberOfBytes = 1;
    int32_t readPolicy = 0;
    TransportLink link = 0;
    Codes codes;
    uint16_t offset = 0;
    Text text;
    Pins pins;

    uint32_t ReadOnce(uint16_t code) const;
    uint32_t ReadAgreed(uint16_t code) const;
    uint32_t ReadMedian(uint16_t code) const;
    uint32_t Read(uint16_t code) const;
    uint32_t ReadValue() const;
    void WriteValue(uint32_t value) const;
    void WriteValueAlt(uint32_t value) const;
    void WriteDacOutput(uint32_t value) const;
    void WriteDacMemory(uint32_t value) const;
    // Reads at most textLength characters from textStart on, stopping after a zero.
    void ReadText(char *buffer) const;
    uint8_t ReadInputPort(uint8_t port) const;
    void WriteOutputPort(uint8_t port, uint8_t value) const;
    uint8_t ReadConfigPort(uint8_t port) const;
    void WriteConfigPort(uint8_t port, uint8_t value) const;
    void WriteBit(bool on) const;
};

// Register descriptors: how a head reaches one quantity of its hardware. Every access goes to the
// descriptor's own transport, the one its head was built with; reads are repeated as the
// descriptor's read policy says, and written values are range-checked before any transport is
// looked at.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/transport.h"

// Every read policy, by the parts that use it. Converter inputs take the median of three reads (2),
// the converter's outputs agreed reads by the alternative read (6), and the words a stage head
// keeps one read (7); any other policy takes agreed reads: potentiometers (1), the elapsed-time
// counter (3), head memories (4) and expanders (5).
inline constexpr int32_t kPotPolicy = 1;
inline constexpr int32_t kReadMedian = 2;
inline constexpr int32_t kCounterPolicy = 3;
inline constexpr int32_t kMemoryPolicy = 4;
inline constexpr int32_t kExpanderPolicy = 5;
inline constexpr int32_t kReadAgreedAlternative = 6;
inline constexpr int32_t kReadOnce = 7;

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
    Transport transport;
    Codes codes;
    uint16_t offset = 0;
    Text text;
    Pins pins;

    // Layouts of the descriptor kinds; the owner sets `transport`.
    // A device with one command byte whose registers are named per access (converters, whole
    // expanders, the elapsed-time counter).
    static constexpr I2cRegister Device(uint8_t address, uint8_t dataNumberOfBytes,
                                        int32_t readPolicy) {
        I2cRegister r;
        r.address = address;
        r.commandNumberOfBytes = 1;
        r.dataNumberOfBytes = dataNumberOfBytes;
        r.readPolicy = readPolicy;
        return r;
    }
    // A device with one command byte and its four command codes.
    static constexpr I2cRegister WithCodes(uint8_t address, uint8_t dataNumberOfBytes,
                                           int32_t readPolicy, Codes codes) {
        I2cRegister r = Device(address, dataNumberOfBytes, readPolicy);
        r.codes = codes;
        return r;
    }
    // Some pins of a two-port expander (one data byte).
    static constexpr I2cRegister ExpanderPins(uint8_t address, int32_t readPolicy, uint8_t port,
                                              uint8_t mask) {
        I2cRegister r = Device(address, 1, readPolicy);
        r.pins = {port, mask};
        return r;
    }
    // A word of a memory with two-byte offsets.
    static constexpr I2cRegister MemoryWord(uint8_t address, uint8_t dataNumberOfBytes,
                                            int32_t readPolicy, uint16_t offset) {
        I2cRegister r = Device(address, dataNumberOfBytes, readPolicy);
        r.commandNumberOfBytes = 2;
        r.offset = offset;
        return r;
    }
    // A text held one character per byte in a memory with two-byte offsets.
    static constexpr I2cRegister MemoryText(uint8_t address, int32_t readPolicy,
                                            uint16_t textStart, uint16_t textLength) {
        I2cRegister r = MemoryWord(address, 1, readPolicy, 0);
        r.text = {textStart, textLength};
        return r;
    }

    uint32_t ReadOnce(uint16_t code) const;
    // Up to five reads until one equals an earlier one; the first when all five differ.
    uint32_t ReadAgreed(uint16_t code) const;
    // The middle of three reads.
    uint32_t ReadMedian(uint16_t code) const;
    // The read that the read policy selects.
    uint32_t Read(uint16_t code) const;
    uint32_t ReadValue() const;  // of code0
    // A memory word at the descriptor's offset, read as the read policy says, and written.
    uint32_t ReadWord() const;
    void WriteWord(uint32_t value) const;
    // Writes an 8-bit value with code1 (Alt: code3); above 255 is "Invalid data".
    void WriteValue(uint32_t value) const;
    void WriteValueAlt(uint32_t value) const;
    // Writes a 10-bit converter's output (0xA0) or memory (0xC0); above 1023 is "Invalid data".
    void WriteDacOutput(uint32_t value) const;
    void WriteDacMemory(uint32_t value) const;
    // Reads at most textLength characters from textStart on, stopping after a zero, and never
    // more than the buffer holds with a terminator: the text read is always terminated.
    void ReadText(char *buffer, size_t capacity) const;
    // Expander ports 0 and 1; any other port is "Unexpected error".
    uint8_t ReadInputPort(uint8_t port) const;
    void WriteOutputPort(uint8_t port, uint8_t value) const;
    uint8_t ReadConfigPort(uint8_t port) const;
    void WriteConfigPort(uint8_t port, uint8_t value) const;
    // Makes the mask pins of the port outputs and drives them, keeping the other pins at the
    // levels read from the input port.
    void WriteBit(bool on) const;

private:
    void Write(uint16_t command, uint32_t value) const;
};

// The NXP UART-to-I2C bridge on a serial line: register transfers in the bridge's frames, its
// GPIO port, and the GPIO-driven read and bus clear built on it. Failures raise "NXP::" messages
// (and the SerialPort ones).
#pragma once

#include <cstdint>
#include <string>

#include "transport/serial_port.h"

namespace NXP {

inline constexpr uint32_t kBaud = 9600;

// Asks the bridge on a port for its register 0; true when the bridge's reset value comes back.
bool AnswersProbe(SerialPort::Line &line);

// The bridge transport of a device: the serial line its device owns, and the last state written
// to the bridge's GPIO port, which every bit-level step starts from.
struct Bridge {
    SerialPort::Line *line = nullptr;
    uint8_t *gpioShadow = nullptr;
    friend bool operator==(const Bridge &, const Bridge &) = default;
};

// The bridge on `line`, which must outlive it. Every bridge made here shares one GPIO shadow, so
// a bridge driven after another starts from the state that one left.
Bridge BridgeOn(SerialPort::Line &line);

void Write(const Bridge &bridge, uint8_t address, uint16_t command, uint8_t commandNumberOfBytes,
           uint32_t data, uint8_t dataNumberOfBytes);

// `alternative` reads over the GPIO lines instead of the bridge's own read frame.
uint32_t Read(const Bridge &bridge, uint8_t address, uint16_t command,
              uint8_t commandNumberOfBytes, uint8_t dataNumberOfBytes, bool alternative);

// Sends the GPIO shadow.
void WriteGPIO(const Bridge &bridge);
uint8_t ReadGPIO(const Bridge &bridge);
void WriteRegister(const Bridge &bridge, uint8_t value);
uint8_t ReadRegister(const Bridge &bridge);

// Leaves the bus idle before a head is read: stop, up to 17 clock pulses while the data line is
// held low, then start and stop.
void ClearBus(const Bridge &bridge);

// Steps on the GPIO lines (data bit 4, clock bit 5 of the port), each returning its piece of the
// transcript: "S", "P", "M", "A" or "N" (the device acknowledged or not), ">" and the eight bits
// written, "<" and the eight bits read.
std::string GpioStart(const Bridge &bridge);
std::string GpioStop(const Bridge &bridge);
std::string GpioMasterAck(const Bridge &bridge);
std::string GpioReadAck(const Bridge &bridge);
std::string GpioWriteByte(const Bridge &bridge, uint8_t value);
std::string GpioReadByte(const Bridge &bridge);

// The value read in a GPIO transcript: the bits after the first "<", up to "P" or 255 characters.
uint32_t DecodeTranscript(const std::string &transcript);

}  // namespace NXP

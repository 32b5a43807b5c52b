// The NXP UART-to-I2C bridge on a serial line: register transfers in the bridge's frames, its
// GPIO port, and the GPIO-driven read and bus clear built on it. Failures raise "NXP::" messages
// (and the SerialPort ones).
#pragma once

#include <cstdint>
#include <string>

#include "transport/serial_port.h"

namespace NXP {

void Write(SerialPort::Handle port, uint8_t address, uint16_t command, uint8_t commandNumberOfBytes,
           uint32_t data, uint8_t dataNumberOfBytes);

// `alternative` reads over the GPIO lines instead of the bridge's own read frame.
uint32_t Read(SerialPort::Handle port, uint8_t address, uint16_t command,
              uint8_t commandNumberOfBytes, uint8_t dataNumberOfBytes, bool alternative);

// Sends the process-wide GPIO shadow.
void WriteGPIO(SerialPort::Handle port);
uint8_t ReadGPIO(SerialPort::Handle port);
void WriteRegister(SerialPort::Handle port, uint8_t value);
uint8_t ReadRegister(SerialPort::Handle port);

// Leaves the bus idle before a head is read: stop, up to 17 clock pulses while the data line is
// held low, then start and stop.
void ClearBus(SerialPort::Handle port);

// Steps on the GPIO lines (data bit 4, clock bit 5 of the port), each returning its piece of the
// transcript: "S", "P", "M", "A" or "N" (the device acknowledged or not), ">" and the eight bits
// written, "<" and the eight bits read.
std::string GpioStart(SerialPort::Handle port);
std::string GpioStop(SerialPort::Handle port);
std::string GpioMasterAck(SerialPort::Handle port);
std::string GpioReadAck(SerialPort::Handle port);
std::string GpioWriteByte(SerialPort::Handle port, uint8_t value);
std::string GpioReadByte(SerialPort::Handle port);

// The value read in a GPIO transcript: the bits after the first "<", up to "P" or 255 characters.
uint32_t DecodeTranscript(const std::string &transcript);

}  // namespace NXP

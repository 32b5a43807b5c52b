// A serial device opened by name at a baud rate, moving exact numbers of bytes. What is known of
// an open port between calls lives in its Line, which whoever opened the port owns. Failures
// raise "SerialPort::" messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial_device.h"

namespace SerialPort {

using Handle = intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// An open port: the system's handle, the time-outs its reads and writes keep, and whether its
// last answer was awaited in vain (it may still come, and must not pass for the next one's).
struct Line {
    Handle handle = kInvalidHandle;
    SerialDevice::Timeouts timeouts{};
    bool lateAnswer = false;
};

// The device path that Open hands to the system for `name`: names beginning "COM" (that case
// only) get `comPrefix` in front. Nothing when the path would be longer than `maxLength`.
std::optional<std::string> FormatDevicePath(const char *name, std::string_view comPrefix,
                                            size_t maxLength);

// Opens the device exclusively with 8N1, no flow control, and the read and write time-outs of
// the line. A device that does not open gives a line with kInvalidHandle; a refused setting
// raises.
Line Open(const char *name, uint32_t baudRate);

// Closes the port; false when the system refused.
bool Close(const Line &line);

// Discards pending input, then writes all `count` bytes. After a time-out on the line, first
// waits for it to fall quiet (raises when it does not within about a second).
void WriteBytes(Line &line, const uint8_t *bytes, uint32_t count);

// Waits for `count` bytes, then takes exactly that many.
std::vector<uint8_t> ReadBytes(Line &line, uint32_t count);

// Returns once `count` bytes are waiting; raises after about a tenth of a second without them,
// and the line's next write drains it first.
void WaitInputQueue(Line &line, uint32_t count);

// Discards the bytes waiting now, without waiting for more.
void FlushInputQueue(const Line &line);

// One read of whatever arrives, at most `capacity` bytes, ending as the line's read time-outs
// decide. Returns the number of bytes read.
uint32_t ReadAvailable(const Line &line, uint8_t *buffer, uint32_t capacity);

}  // namespace SerialPort

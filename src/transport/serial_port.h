// A serial device opened by name at a baud rate, moving exact numbers of bytes. The handle is the
// port's identity; the only thing kept between calls is whether a port's last answer timed out.
// Failures raise "SerialPort::" messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace SerialPort {

using Handle = intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// The device path that Open hands to the system for `name`: names beginning "COM" (that case
// only) get `comPrefix` in front. Nothing when the path would be longer than `maxLength`.
std::optional<std::string> FormatDevicePath(const char *name, std::string_view comPrefix,
                                            size_t maxLength);

// Opens the device exclusively with 8N1, no flow control, and the read and write time-outs of
// the line. A device that does not open gives kInvalidHandle; a refused setting raises.
Handle Open(const char *name, uint32_t baudRate);

// Closes the port; false when the system refused.
bool Close(Handle port);

// Discards pending input, then writes all `count` bytes. After a time-out on the port, first
// waits for the line to fall quiet (raises when it does not within about a second).
void WriteBytes(Handle port, const uint8_t *bytes, uint32_t count);

// Waits for `count` bytes, then takes exactly that many.
std::vector<uint8_t> ReadBytes(Handle port, uint32_t count);

// Returns once `count` bytes are waiting; raises after about a tenth of a second without them,
// and the port's next write drains the line first.
void WaitInputQueue(Handle port, uint32_t count);

// Discards the bytes waiting now, without waiting for more.
void FlushInputQueue(Handle port);

// One read of whatever arrives, at most `capacity` bytes, ending as the line's read time-outs
// decide. Returns the number of bytes read.
uint32_t ReadAvailable(Handle port, uint8_t *buffer, uint32_t capacity);

}  // namespace SerialPort

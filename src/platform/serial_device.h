// The system's serial devices: open one exclusively by path, configure it step by step, move
// bytes with Windows-like time-outs, close it. Each configuration step names the part that the
// system refused, so that the caller can say which one in a failure message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace SerialDevice {

// The system's handle of an open device as a pointer-sized integer; -1 is no device.
using Handle = intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// How a port name becomes a device path here: names beginning "COM" get this prefix in front
// (empty where a name is already the path), and a path longer than kMaxPathLength is no device.
extern const std::string_view kComPrefix;
extern const size_t kMaxPathLength;

// Time-outs in milliseconds, with the meaning Windows gives them. A read ends when `count` bytes
// have come, when readTotalMultiplier x count + readTotalConstant have passed, or, once a byte
// has come, when readInterval passes without another. A write gives up after
// writeTotalMultiplier x count + writeTotalConstant. Zero means no time, not no limit.
struct Timeouts {
    uint32_t readInterval;
    uint32_t readTotalMultiplier;
    uint32_t readTotalConstant;
    uint32_t writeTotalMultiplier;
    uint32_t writeTotalConstant;
};

// The part of the configuration that the system refused.
enum class Refusal {
    kNone,
    kQueueSizes,
    kReadLineSettings,
    kWriteLineSettings,
    kReadTimeouts,
    kWriteTimeouts,
};

// Opens an existing device for reading and writing, for one holder at a time: while it is open,
// a second open of it fails. kInvalidHandle when it does not open.
Handle OpenExclusive(const char *path);

// The driver's queue sizes. kNone or kQueueSizes.
Refusal SetQueueSizes(Handle device, uint32_t inputBytes, uint32_t outputBytes);

// Raw bytes at `baudRate`, 8 data bits, no parity, one stop bit, no flow control of either kind,
// DTR and RTS raised. kNone, kReadLineSettings or kWriteLineSettings.
Refusal SetLineSettings(Handle device, uint32_t baudRate);

// Hands the time-outs to a system that keeps them with the device. kNone, kReadTimeouts or
// kWriteTimeouts.
Refusal SetTimeouts(Handle device, const Timeouts &timeouts);

// Read and Write are given the device's time-outs on every call: a system that keeps none applies
// them itself, one that keeps them was given the same ones by SetTimeouts.

// One read of at most `count` bytes, ending as the time-outs decide. Returns the number of bytes
// read; a failed read reports what it had moved before it failed.
uint32_t Read(Handle device, const Timeouts &timeouts, uint8_t *buffer, uint32_t count);

// Writes `count` bytes, or fewer when the write time-out passes. Returns the number written, or
// nothing when the write failed.
std::optional<uint32_t> Write(Handle device, const Timeouts &timeouts, const uint8_t *bytes,
                              uint32_t count);

// The number of bytes waiting to be read; 0 when the system cannot say.
uint32_t BytesWaiting(Handle device);

// Returns true as soon as at least `count` bytes are waiting to be read, false once about
// `milliseconds` have passed without them. Nothing is taken from the input.
bool AwaitBytesWaiting(Handle device, uint32_t count, uint32_t milliseconds);

// False when the system refused.
bool Close(Handle device);

}  // namespace SerialDevice

#include "transport/serial_port.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <new>

#include "base/failure_message.h"
#include "platform/serial_device.h"

namespace SerialPort {

static_assert(kInvalidHandle == SerialDevice::kInvalidHandle);

namespace {

using SerialDevice::Refusal;

constexpr uint32_t kQueueBytes = 128;
constexpr SerialDevice::Timeouts kTimeouts{
    .readInterval = 50,
    .readTotalMultiplier = 10,
    .readTotalConstant = 50,
    .writeTotalMultiplier = 10,
    .writeTotalConstant = 50,
};

// How long a reply is awaited: about a tenth of a second. Where the system can only look and
// pause, that is 102 looks with a pause of 1 ms after each of the first 101.
constexpr uint32_t kInputWaitMilliseconds = 101;

// An answer that comes after its request timed out must not pass for the next request's answer:
// before that request the line is drained until it has been quiet for the supply's inter-byte
// gap, for at most about a second.
constexpr uint32_t kQuietMilliseconds = 50;
constexpr std::chrono::milliseconds kDrainBound{1000};

struct RefusalMessage {
    Refusal refusal;
    const char *text;
};

// Both time-out steps say SetCommTimeouts: the host cannot tell a refused read from a refused
// write of them.
constexpr RefusalMessage kRefusalMessages[] = {
    {Refusal::kQueueSizes, "SerialPort::Open: SetupComm() failed."},
    {Refusal::kReadLineSettings, "SerialPort::Open: GetCommState() failed."},
    {Refusal::kWriteLineSettings, "SerialPort::Open: SetCommState() failed."},
    {Refusal::kReadTimeouts, "SerialPort::Open: SetCommTimeouts() failed."},
    {Refusal::kWriteTimeouts, "SerialPort::Open: SetCommTimeouts() failed."},
};

[[noreturn]] void RaiseRefusal(Refusal refusal) {
    const auto found = std::find_if(
        std::begin(kRefusalMessages), std::end(kRefusalMessages),
        [refusal](const RefusalMessage &entry) { return entry.refusal == refusal; });
    RaiseFailure(found->text);
}

std::vector<uint8_t> Buffer(uint32_t count, const char *failure) {
    try {
        return std::vector<uint8_t>(count);
    } catch (const std::bad_alloc &) {
        RaiseFailure(failure);
    }
}

void DrainLateAnswer(Line &line) {
    if (!line.lateAnswer) {
        return;
    }
    line.lateAnswer = false;
    const auto bound = std::chrono::steady_clock::now() + kDrainBound;
    while (SerialDevice::AwaitBytesWaiting(line.handle, 1, kQuietMilliseconds)) {
        FlushInputQueue(line);
        if (std::chrono::steady_clock::now() >= bound) {
            line.lateAnswer = true;
            RaiseFailure("SerialPort::WriteBytes: the line does not fall quiet");
        }
    }
}

}  // namespace

std::optional<std::string> FormatDevicePath(const char *name, std::string_view comPrefix,
                                            size_t maxLength) {
    const std::string_view given(name);
    std::string path(given.starts_with("COM") ? comPrefix : std::string_view{});
    path += given;
    if (path.size() > maxLength) {
        return std::nullopt;
    }
    return path;
}

Line Open(const char *name, uint32_t baudRate) {
    const std::optional<std::string> path =
        FormatDevicePath(name, SerialDevice::kComPrefix, SerialDevice::kMaxPathLength);
    if (!path) {
        return Line{};
    }
    const Handle port = SerialDevice::OpenExclusive(path->c_str());
    if (port == kInvalidHandle) {
        return Line{};
    }
    Refusal refusal = SerialDevice::SetQueueSizes(port, kQueueBytes, kQueueBytes);
    if (refusal == Refusal::kNone) {
        refusal = SerialDevice::SetLineSettings(port, baudRate);
    }
    if (refusal == Refusal::kNone) {
        refusal = SerialDevice::SetTimeouts(port, kTimeouts);
    }
    if (refusal != Refusal::kNone) {
        SerialDevice::Close(port);
        RaiseRefusal(refusal);
    }
    return Line{.handle = port, .timeouts = kTimeouts, .lateAnswer = false};
}

bool Close(const Line &line) { return SerialDevice::Close(line.handle); }

void WriteBytes(Line &line, const uint8_t *bytes, uint32_t count) {
    // Whatever came before the request is no part of its answer.
    DrainLateAnswer(line);
    FlushInputQueue(line);
    const std::optional<uint32_t> written =
        SerialDevice::Write(line.handle, line.timeouts, bytes, count);
    if (!written) {
        RaiseFailure("SerialPort::WriteBytes: WriteFile() failed.");
    }
    if (*written != count) {
        RaiseFailure("SerialPort::WriteBytes: nBytesWritten != nBytesToWrite");
    }
}

std::vector<uint8_t> ReadBytes(Line &line, uint32_t count) {
    WaitInputQueue(line, count);
    std::vector<uint8_t> bytes =
        Buffer(count, "SerialPort::ReadBytes: memory could not be allocated");
    if (SerialDevice::Read(line.handle, line.timeouts, bytes.data(), count) != count) {
        RaiseFailure("SerialPort::ReadBytes: nBytesRead != nBytesToRead");
    }
    return bytes;
}

void WaitInputQueue(Line &line, uint32_t count) {
    if (!SerialDevice::AwaitBytesWaiting(line.handle, count, kInputWaitMilliseconds)) {
        line.lateAnswer = true;
        RaiseFailure("SerialPort::WaitInputQueue: timeout waiting for response");
    }
}

void FlushInputQueue(const Line &line) {
    // Takes only what has come so far; a failed read leaves nothing worth reporting.
    const uint32_t waiting = SerialDevice::BytesWaiting(line.handle);
    if (waiting == 0) {
        return;
    }
    std::vector<uint8_t> discarded =
        Buffer(waiting, "SerialPort::FlushInputQueue: memory could not be allocated");
    SerialDevice::Read(line.handle, line.timeouts, discarded.data(), waiting);
}

uint32_t ReadAvailable(const Line &line, uint8_t *buffer, uint32_t capacity) {
    return SerialDevice::Read(line.handle, line.timeouts, buffer, capacity);
}

}  // namespace SerialPort

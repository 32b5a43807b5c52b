#include <windows.h>

#include "platform/serial_device.h"
#include "platform/serial_input_looks.h"

namespace SerialDevice {

// "COM" names live in the device namespace; the path buffer holds 18 characters.
const std::string_view kComPrefix = "\\\\.\\";
const size_t kMaxPathLength = 18;

namespace {

HANDLE Native(Handle device) { return reinterpret_cast<HANDLE>(device); }

}  // namespace

Handle OpenExclusive(const char *path) {
    // No sharing, existing devices only, synchronous transfers.
    const HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    return device == INVALID_HANDLE_VALUE ? kInvalidHandle : reinterpret_cast<Handle>(device);
}

Refusal SetQueueSizes(Handle device, uint32_t inputBytes, uint32_t outputBytes) {
    return SetupComm(Native(device), inputBytes, outputBytes) ? Refusal::kNone
                                                               : Refusal::kQueueSizes;
}

Refusal SetLineSettings(Handle device, uint32_t baudRate) {
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(Native(device), &settings)) {
        return Refusal::kReadLineSettings;
    }
    settings.BaudRate = baudRate;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fDsrSensitivity = FALSE;
    settings.fTXContinueOnXoff = FALSE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fErrorChar = FALSE;
    settings.fNull = FALSE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    settings.fAbortOnError = TRUE;
    return SetCommState(Native(device), &settings) ? Refusal::kNone : Refusal::kWriteLineSettings;
}

Refusal SetTimeouts(Handle device, const Timeouts &timeouts) {
    COMMTIMEOUTS settings{};
    if (!GetCommTimeouts(Native(device), &settings)) {
        return Refusal::kReadTimeouts;
    }
    settings.ReadIntervalTimeout = timeouts.readInterval;
    settings.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
    settings.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
    settings.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
    settings.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
    return SetCommTimeouts(Native(device), &settings) ? Refusal::kNone : Refusal::kWriteTimeouts;
}

// The system applies the time-outs SetTimeouts gave it.
uint32_t Read(Handle device, const Timeouts &, uint8_t *buffer, uint32_t count) {
    // What was moved counts, whether or not the call reports success.
    DWORD got = 0;
    ReadFile(Native(device), buffer, count, &got, nullptr);
    return got;
}

std::optional<uint32_t> Write(Handle device, const Timeouts &, const uint8_t *bytes,
                              uint32_t count) {
    DWORD written = 0;
    if (!WriteFile(Native(device), bytes, count, &written, nullptr)) {
        return std::nullopt;
    }
    return written;
}

uint32_t BytesWaiting(Handle device) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(Native(device), &errors, &status)) {
        return 0;
    }
    return status.cbInQue;
}

bool AwaitBytesWaiting(Handle device, uint32_t count, uint32_t milliseconds) {
    // A synchronous port has no wait for a number of bytes, so it is looked at once a
    // millisecond; the bound is the number of looks, which a coarse Sleep only lengthens.
    return AwaitBytesWaitingByLooks(device, count, milliseconds);
}

bool Close(Handle device) { return CloseHandle(Native(device)) != FALSE; }

}  // namespace SerialDevice

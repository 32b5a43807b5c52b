// The emulated adapter library: the adapter library's entry points, served by virtual supplies.
#include "adapter/emulated_adapter.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

#include "transport/adapter_entry_points.h"

namespace {

constexpr const char *kDefaultVersion = "MavoFTCI2C emulated 1.0";

// What a test asked of one entry point.
struct EntryPointControl {
    uint32_t calls = 0;
    uint32_t failuresLeft = 0;
    uint32_t failureStatus = 0;
    uint32_t throwsLeft = 0;
};

struct Emulator {
    std::mutex mutex;
    std::string version = kDefaultVersion;
    std::map<std::string, EntryPointControl> controls;
};

Emulator &State() {
    static Emulator *emulator = new Emulator;
    return *emulator;
}

// Counts the call and applies the test's controls. Returns true with `status` set when the call
// is answered by a control instead of its work.
bool Intercept(const char *entryPoint, uint32_t &status) {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    EntryPointControl &control = emulator.controls[entryPoint];
    ++control.calls;
    if (control.throwsLeft > 0) {
        --control.throwsLeft;
        throw std::runtime_error(std::string("emulated adapter: ") + entryPoint + " raised");
    }
    if (control.failuresLeft > 0) {
        --control.failuresLeft;
        status = control.failureStatus;
        return true;
    }
    return false;
}

constexpr uint32_t kOk = 0;
constexpr uint32_t kNotSupported = 17;

}  // namespace

#define INTERCEPT(name)                              \
    do {                                             \
        uint32_t intercepted = 0;                    \
        if (Intercept(#name, intercepted)) return intercepted; \
    } while (false)

extern "C" {

EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_Reset() {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    emulator.version = kDefaultVersion;
    emulator.controls.clear();
}

EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_SetVersion(const char *text) {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    emulator.version = text;
}

EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_FailNext(const char *entryPoint,
                                                                    uint32_t count, uint32_t status) {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    EntryPointControl &control = emulator.controls[entryPoint];
    control.failuresLeft = count;
    control.failureStatus = status;
}

EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_ThrowNext(const char *entryPoint,
                                                                     uint32_t count) {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    emulator.controls[entryPoint].throwsLeft = count;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_CallCount(const char *entryPoint) {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    const auto it = emulator.controls.find(entryPoint);
    return it == emulator.controls.end() ? 0 : it->second.calls;
}

// ---- the adapter library's entry points ---------------------------------------------------------

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_GetNumDevices(uint32_t *count) {
    INTERCEPT(I2C_GetNumDevices);
    *count = 0;
    return kOk;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_GetDeviceNameLocID(uint32_t index, char *name,
                                                                      uint32_t nameSize,
                                                                      uint32_t *locationId) {
    INTERCEPT(I2C_GetDeviceNameLocID);
    (void)index, (void)name, (void)nameSize, (void)locationId;
    return kNotSupported;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_OpenEx(char *name, uint32_t locationId,
                                                          AdapterHandle *handle) {
    INTERCEPT(I2C_OpenEx);
    (void)name, (void)locationId, (void)handle;
    return kNotSupported;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_Open(AdapterHandle *handle) {
    INTERCEPT(I2C_Open);
    (void)handle;
    return kNotSupported;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_Close(AdapterHandle handle) {
    INTERCEPT(I2C_Close);
    (void)handle;
    return kOk;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_InitDevice(AdapterHandle handle,
                                                              uint32_t clockDivisor) {
    INTERCEPT(I2C_InitDevice);
    (void)handle, (void)clockDivisor;
    return kNotSupported;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_GetClock(uint32_t clockDivisor,
                                                            uint32_t *frequencyHz) {
    INTERCEPT(I2C_GetClock);
    *frequencyHz = 12000000 / ((1 + clockDivisor) * 2);
    return kOk;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_SetClock(AdapterHandle handle,
                                                            uint32_t clockDivisor,
                                                            uint32_t *frequencyHz) {
    INTERCEPT(I2C_SetClock);
    (void)handle;
    *frequencyHz = 12000000 / ((1 + clockDivisor) * 2);
    return kOk;
}

#if !defined(EMULATED_ADAPTER_WITHOUT_LOOPBACK)
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_SetLoopback(AdapterHandle handle,
                                                               int32_t loopback) {
    INTERCEPT(I2C_SetLoopback);
    (void)handle, (void)loopback;
    return kOk;
}
#endif

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_Write(AdapterHandle handle, uint8_t *control,
                                                         uint32_t controlCount, int32_t controlAck,
                                                         uint32_t controlAckTimeoutMs,
                                                         int32_t stopCondition, uint32_t writeType,
                                                         uint8_t *data, uint32_t dataCount,
                                                         int32_t dataAck, uint32_t dataAckTimeoutMs,
                                                         PageWriteRecord *page) {
    INTERCEPT(I2C_Write);
    (void)handle, (void)control, (void)controlCount, (void)controlAck, (void)controlAckTimeoutMs;
    (void)stopCondition, (void)writeType, (void)data, (void)dataCount, (void)dataAck;
    (void)dataAckTimeoutMs, (void)page;
    return kNotSupported;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_Read(AdapterHandle handle, uint8_t *control,
                                                        uint32_t controlCount, int32_t controlAck,
                                                        uint32_t controlAckTimeoutMs,
                                                        uint32_t readType, uint8_t *data,
                                                        uint32_t dataCount) {
    INTERCEPT(I2C_Read);
    (void)handle, (void)control, (void)controlCount, (void)controlAck, (void)controlAckTimeoutMs;
    (void)readType, (void)data, (void)dataCount;
    return kNotSupported;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_ReadAlt(AdapterHandle handle, uint8_t *control,
                                                           uint32_t controlCount,
                                                           int32_t controlAck,
                                                           uint32_t controlAckTimeoutMs,
                                                           uint32_t readType, uint8_t *data,
                                                           uint32_t dataCount) {
    INTERCEPT(I2C_ReadAlt);
    (void)handle, (void)control, (void)controlCount, (void)controlAck, (void)controlAckTimeoutMs;
    (void)readType, (void)data, (void)dataCount;
    return kNotSupported;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_GetDllVersion(char *text, uint32_t size) {
    INTERCEPT(I2C_GetDllVersion);
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    // Like a careless library, the text is not terminated when it fills the buffer.
    const size_t length = emulator.version.size();
    std::memcpy(text, emulator.version.c_str(), length < size ? length + 1 : size);
    return kOk;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_GetErrorCodeString(char *language,
                                                                      uint32_t status, char *text,
                                                                      uint32_t size) {
    INTERCEPT(I2C_GetErrorCodeString);
    (void)language;
    if (size > 0) std::snprintf(text, size, "emulated adapter status %u", status);
    return kOk;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_SetMode(AdapterHandle handle, uint32_t mode) {
    INTERCEPT(I2C_SetMode);
    (void)handle;
    return mode == 1 ? kOk : kNotSupported;
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_GetDeviceNameSerialNumber(uint32_t index,
                                                                             char *name,
                                                                             uint32_t nameSize,
                                                                             char *serial) {
    INTERCEPT(I2C_GetDeviceNameSerialNumber);
    (void)index, (void)name, (void)nameSize, (void)serial;
    return kNotSupported;
}

#if !defined(EMULATED_ADAPTER_WITHOUT_SERIAL_NUMBER)
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_OpenExSerialNumber(char *name, char *serial,
                                                                      AdapterHandle *handle) {
    INTERCEPT(I2C_OpenExSerialNumber);
    (void)name, (void)serial, (void)handle;
    return kNotSupported;
}
#endif

}  // extern "C"

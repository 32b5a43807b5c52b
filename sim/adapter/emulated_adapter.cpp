// The emulated adapter library: the adapter library's entry points, served by virtual supplies.
#include "adapter/emulated_adapter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "bus/virtual_supply.h"
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

// Handles of the supplies: far from 0 and from all bits set, and not consecutive, so that a
// mix-up shows.
constexpr AdapterHandle kFirstHandle = 0x5A00;
constexpr AdapterHandle kHandleStep = 0x10;

struct Emulator {
    std::mutex mutex;
    std::string version = kDefaultVersion;
    std::map<std::string, EntryPointControl> controls;
    std::map<AdapterHandle, std::unique_ptr<sim::VirtualSupply>> supplies;
    AdapterHandle nextHandle = kFirstHandle;
    std::vector<EmulatedTransfer> transfers;
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
constexpr uint32_t kInvalidHandle = 1;
constexpr uint32_t kNotSupported = 17;
constexpr uint32_t kInvalidArgument = 22;
constexpr uint32_t kNotAcknowledged = 30;

// What every transfer must be given, as the real adapter library expects it.
constexpr int32_t kAck = 1;
constexpr uint32_t kAckTimeoutMs = 20;
constexpr uint32_t kReadType = 2;
constexpr int32_t kStopCondition = 1;
constexpr uint32_t kSingleByteWrite = 1;
constexpr uint32_t kBlockWrite = 2;
constexpr PageWriteRecord kSingleBytePage = {1, 32};
// The control is the address and one or two command bytes; the data fit the buffer size the
// library may assume.
constexpr uint32_t kMinControlCount = 2;
constexpr uint32_t kMaxControlCount = 3;
constexpr uint32_t kMaxDataCount = 65536;

void CopyBytes(uint8_t *to, size_t capacity, const uint8_t *from, uint32_t count) {
    if (from != nullptr) std::memcpy(to, from, std::min<size_t>(capacity, count));
}

// Logs a transfer with its outcome and hands the status back.
uint32_t Log(Emulator &emulator, const char *entryPoint, AdapterHandle handle,
             const uint8_t *control, uint32_t controlCount, const uint8_t *data,
             uint32_t dataCount, uint32_t status) {
    EmulatedTransfer transfer{};
    std::snprintf(transfer.entryPoint, sizeof transfer.entryPoint, "%s", entryPoint);
    transfer.handle = handle;
    transfer.status = status;
    transfer.controlCount = controlCount;
    CopyBytes(transfer.control, sizeof transfer.control, control,
              std::min(controlCount, kMaxControlCount));
    transfer.dataCount = dataCount;
    CopyBytes(transfer.data, sizeof transfer.data, data, std::min(dataCount, kMaxDataCount));
    emulator.transfers.push_back(transfer);
    return status;
}

// The checks a real adapter makes on the control part of any transfer.
bool ControlIsValid(const uint8_t *control, uint32_t controlCount, int32_t controlAck,
                    uint32_t controlAckTimeoutMs) {
    return control != nullptr && controlCount >= kMinControlCount &&
           controlCount <= kMaxControlCount && (control[0] & 1) == 0 && controlAck == kAck &&
           controlAckTimeoutMs == kAckTimeoutMs;
}

bool DataIsValid(const uint8_t *data, uint32_t dataCount) {
    return data != nullptr && dataCount >= 1 && dataCount <= kMaxDataCount;
}

// The page record that goes with the write type for the data count.
bool PagesAreValid(uint32_t writeType, uint32_t dataCount, const PageWriteRecord *page) {
    if (page == nullptr) return false;
    if (writeType == kSingleByteWrite) {
        return dataCount == 1 && page->pages == kSingleBytePage.pages &&
               page->bytesPerPage == kSingleBytePage.bytesPerPage;
    }
    return writeType == kBlockWrite && dataCount >= 2 && page->pages == 1 &&
           page->bytesPerPage == dataCount;
}

// A read: the command bytes written, then after a repeated start the data read.
uint32_t Read(const char *entryPoint, AdapterHandle handle, uint8_t *control,
              uint32_t controlCount, int32_t controlAck, uint32_t controlAckTimeoutMs,
              uint32_t readType, uint8_t *data, uint32_t dataCount) {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    const auto supply = emulator.supplies.find(handle);
    if (supply == emulator.supplies.end()) {
        return Log(emulator, entryPoint, handle, control, controlCount, nullptr, dataCount,
                   kInvalidHandle);
    }
    if (!ControlIsValid(control, controlCount, controlAck, controlAckTimeoutMs) ||
        readType != kReadType || !DataIsValid(data, dataCount)) {
        return Log(emulator, entryPoint, handle, control, controlCount, nullptr, dataCount,
                   kInvalidArgument);
    }
    const bool acknowledged = supply->second->Bus().WriteThenRead(
        control[0], control + 1, controlCount - 1, data, dataCount);
    return Log(emulator, entryPoint, handle, control, controlCount, acknowledged ? data : nullptr,
               dataCount, acknowledged ? kOk : kNotAcknowledged);
}

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
    emulator.supplies.clear();
    emulator.nextHandle = kFirstHandle;
    emulator.transfers.clear();
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

EMULATED_ADAPTER_EXPORT AdapterHandle MAVOZARP_CALL EmulatedAdapter_AddSupply() {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    const AdapterHandle handle = emulator.nextHandle;
    emulator.nextHandle += kHandleStep;
    emulator.supplies[handle] = std::make_unique<sim::VirtualSupply>();
    return handle;
}

EMULATED_ADAPTER_EXPORT void *MAVOZARP_CALL EmulatedAdapter_Supply(AdapterHandle handle) {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    const auto it = emulator.supplies.find(handle);
    return it == emulator.supplies.end() ? nullptr : it->second.get();
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_TransferCount() {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    return static_cast<uint32_t>(emulator.transfers.size());
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL
EmulatedAdapter_GetTransfer(uint32_t index, EmulatedTransfer *transfer) {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    if (transfer == nullptr || index >= emulator.transfers.size()) return -1;
    *transfer = emulator.transfers[index];
    return 0;
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
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    const auto logged = [&](uint32_t status) {
        return Log(emulator, "I2C_Write", handle, control, controlCount, data, dataCount, status);
    };
    const auto supply = emulator.supplies.find(handle);
    if (supply == emulator.supplies.end()) return logged(kInvalidHandle);
    if (!ControlIsValid(control, controlCount, controlAck, controlAckTimeoutMs) ||
        stopCondition != kStopCondition || !DataIsValid(data, dataCount) || dataAck != kAck ||
        dataAckTimeoutMs != kAckTimeoutMs || !PagesAreValid(writeType, dataCount, page)) {
        return logged(kInvalidArgument);
    }
    std::vector<uint8_t> bytes(control + 1, control + controlCount);
    bytes.insert(bytes.end(), data, data + dataCount);
    const bool acknowledged =
        supply->second->Bus().Write(control[0], bytes.data(), static_cast<uint32_t>(bytes.size()));
    return logged(acknowledged ? kOk : kNotAcknowledged);
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_Read(AdapterHandle handle, uint8_t *control,
                                                        uint32_t controlCount, int32_t controlAck,
                                                        uint32_t controlAckTimeoutMs,
                                                        uint32_t readType, uint8_t *data,
                                                        uint32_t dataCount) {
    INTERCEPT(I2C_Read);
    return Read("I2C_Read", handle, control, controlCount, controlAck, controlAckTimeoutMs,
                readType, data, dataCount);
}

// The parts see the same transaction as for I2C_Read: the adapter drives the lines differently,
// which the device models do not tell apart.
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_ReadAlt(AdapterHandle handle, uint8_t *control,
                                                           uint32_t controlCount,
                                                           int32_t controlAck,
                                                           uint32_t controlAckTimeoutMs,
                                                           uint32_t readType, uint8_t *data,
                                                           uint32_t dataCount) {
    INTERCEPT(I2C_ReadAlt);
    return Read("I2C_ReadAlt", handle, control, controlCount, controlAck, controlAckTimeoutMs,
                readType, data, dataCount);
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

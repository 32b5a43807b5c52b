// The adapter library's entry points over FTDI MPSSE engines. Each answers a status (0 success)
// and never raises; every call runs under one lock, so transfers on the same engine never mix.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "adapter_handles.h"
#include "mpsse_i2c.h"
#include "silent_engines.h"
#include "status.h"
#include "transport/adapter_entry_points.h"
#include "usb_link.h"

#define FTDI_ADAPTER_EXPORT extern "C" __attribute__((visibility("default")))

namespace ftdi_adapter {

namespace {

// Without our name: the library that loads us puts "MavoFTCI2C " before it.
constexpr const char *kVersion = "MPSSE 1.0.0";

// The buffer sizes callers give and the entry points may assume.
constexpr uint32_t kMaxControlCount = 256;
constexpr uint32_t kMaxDataCount = 65536;
constexpr size_t kSerialNumberBuffer = 100;

// Handles fit 32 bits (the library may keep only those), are never 0 and never given twice.
constexpr AdapterHandle kFirstHandle = 0x4D50;

// The one mode offered: standard I2C as described in mpsse_i2c.h.
constexpr uint32_t kStandardMode = 1;

enum WriteType : uint32_t { kControlOnly = 0, kSingleByte = 1, kPages = 2 };
enum ReadType : uint32_t { kSingleByteRead = 1, kBlockRead = 2 };

struct OpenEngine {
    UsbDevice device;
    std::unique_ptr<MpsseLink> link;
    MpsseI2cMaster master;
    bool initialised = false;
};

struct Library {
    std::mutex mutex;
    // The engines of the last count, so that naming by index sees the same list.
    std::vector<UsbDevice> enumerated;
    SilentEngines silent;
    std::map<AdapterHandle, std::unique_ptr<OpenEngine>> open;
    AdapterHandle nextHandle = kFirstHandle;
};

// Never destroyed: a host thread still inside an entry point at exit meets no destroyed state.
Library &State() {
    static Library *library = new Library;
    return *library;
}

uint32_t Answer(Status status) { return static_cast<uint32_t>(status); }

// Runs `work` under the lock; nothing it raises leaves the entry point.
template <class Work>
uint32_t Serve(Work work) {
    try {
        Library &library = State();
        std::lock_guard<std::mutex> lock(library.mutex);
        return Answer(work(library));
    } catch (...) {
        return Answer(Status::kUsbFailure);
    }
}

void CopyText(char *to, size_t capacity, std::string_view text) {
    std::snprintf(to, capacity, "%.*s", static_cast<int>(text.size()), text.data());
}

// The engines attached now but the silent ones.
Status EnumerateAnswering(Library &library, std::vector<UsbDevice> &found) {
    std::vector<UsbDevice> attached;
    const Status status = EnumerateEngines(Backend(), attached);
    if (status == Status::kOk) found = library.silent.Answering(attached);
    return status;
}

Status Enumerate(Library &library) {
    std::vector<UsbDevice> found;
    const Status status = EnumerateAnswering(library, found);
    if (status == Status::kOk) library.enumerated = std::move(found);
    return status;
}

// Said once on stderr: the engine is left out until its chip is plugged again.
void Silence(Library &library, const UsbDevice &device) {
    if (!library.silent.Add(device)) return;
    std::fprintf(stderr,
                 "MavoFTCI2C: \"%s\" (serial number \"%s\", location 0x%08X) does not answer as "
                 "an MPSSE engine; left out until it is plugged in again\n",
                 device.description.c_str(), device.serialNumber.c_str(), device.location);
}

// The engine at `index` of the last count (enumerating first when nothing was counted yet).
Status Named(Library &library, uint32_t index, char *name, uint32_t nameSize,
             const UsbDevice *&device) {
    if (name == nullptr || nameSize == 0) return Status::kInvalidArgument;
    if (library.enumerated.empty()) {
        const Status status = Enumerate(library);
        if (status != Status::kOk) return status;
    }
    if (index >= library.enumerated.size()) return Status::kDeviceNotFound;
    device = &library.enumerated[index];
    if (device->access != Status::kOk) return device->access;
    CopyText(name, nameSize, device->description);
    return Status::kOk;
}

// Opens the first engine attached now that `matches`; the USB side refuses a second open of it.
template <class Matches>
Status Open(Library &library, AdapterHandle *handle, Matches matches) {
    if (handle == nullptr) return Status::kInvalidArgument;
    std::vector<UsbDevice> found;
    Status status = EnumerateAnswering(library, found);
    if (status != Status::kOk) return status;
    for (const UsbDevice &device : found) {
        if (!matches(device)) continue;
        if (device.access != Status::kOk) return device.access;
        std::unique_ptr<MpsseLink> link;
        status = Backend().Open(device, link);
        if (status != Status::kOk) return status;
        MpsseLink &opened = *link;
        const AdapterHandle given = library.nextHandle++;
        library.open[given] = std::unique_ptr<OpenEngine>(
            new OpenEngine{device, std::move(link), MpsseI2cMaster(opened, device.chip)});
        *handle = given;
        return Status::kOk;
    }
    return Status::kDeviceNotFound;
}

// The engine open under `handle`; null, with the status that refuses the call, when it is not.
OpenEngine *Engine(Library &library, AdapterHandle handle, Status &refusal,
                   bool mustBeInitialised = true) {
    const auto found = library.open.find(handle);
    if (found == library.open.end()) {
        refusal = Status::kInvalidHandle;
        return nullptr;
    }
    if (mustBeInitialised && !found->second->initialised) {
        refusal = Status::kNotInitialised;
        return nullptr;
    }
    return found->second.get();
}

// Checks shared by every transfer: the control holds a writing address and fits its buffer.
bool ControlIsValid(const uint8_t *control, uint32_t controlCount, int32_t controlAck) {
    return control != nullptr && controlCount >= 1 && controlCount <= kMaxControlCount &&
           (control[0] & 0x01) == 0 && (controlAck == 0 || controlAck == 1);
}

// Whether the write type, page record and data agree.
bool WriteIsValid(uint32_t writeType, const uint8_t *data, uint32_t dataCount,
                  const PageWriteRecord *page) {
    if (dataCount > kMaxDataCount || (dataCount > 0 && data == nullptr)) return false;
    switch (writeType) {
        case kControlOnly:
            return dataCount == 0;
        case kSingleByte:
            return dataCount == 1;
        case kPages:
            return page != nullptr && page->pages >= 1 && page->bytesPerPage >= 1 &&
                   uint64_t{page->pages} * page->bytesPerPage == dataCount;
        default:
            return false;
    }
}

// The control for page `number`: the command bytes after the address are a big-endian memory
// offset, advanced by the pages written before it.
std::vector<uint8_t> PageControl(const uint8_t *control, uint32_t controlCount, uint32_t advance) {
    std::vector<uint8_t> paged(control, control + controlCount);
    for (size_t i = paged.size(); i-- > 1 && advance != 0;) {
        const uint32_t sum = paged[i] + (advance & 0xFF);
        paged[i] = static_cast<uint8_t>(sum);
        advance = (advance >> 8) + (sum >> 8);
    }
    return paged;
}

uint32_t Read(AdapterHandle handle, uint8_t *control, uint32_t controlCount, int32_t controlAck,
              uint32_t controlAckTimeoutMs, uint32_t readType, uint8_t *data, uint32_t dataCount,
              ReadTurn turn) {
    return Serve([&](Library &library) {
        Status status = Status::kOk;
        OpenEngine *engine = Engine(library, handle, status);
        if (engine == nullptr) return status;
        const bool countFits = readType == kSingleByteRead ? dataCount == 1
                               : readType == kBlockRead    ? dataCount >= 1 &&
                                                              dataCount <= kMaxDataCount
                                                           : false;
        if (!ControlIsValid(control, controlCount, controlAck) || data == nullptr || !countFits) {
            return Status::kInvalidArgument;
        }
        return engine->master.Read(control, controlCount, {controlAck == 1, controlAckTimeoutMs},
                                   turn, data, dataCount);
    });
}

}  // namespace

AdapterHandle HandleOfLink(const MpsseLink *link) {
    Library &library = State();
    std::lock_guard<std::mutex> lock(library.mutex);
    for (const auto &[handle, engine] : library.open) {
        if (engine->link.get() == link) return handle;
    }
    return 0;
}

}  // namespace ftdi_adapter

using namespace ftdi_adapter;

FTDI_ADAPTER_EXPORT uint32_t I2C_GetNumDevices(uint32_t *count) {
    return Serve([&](Library &library) {
        if (count == nullptr) return Status::kInvalidArgument;
        const Status status = Enumerate(library);
        if (status == Status::kOk) *count = static_cast<uint32_t>(library.enumerated.size());
        return status;
    });
}

FTDI_ADAPTER_EXPORT uint32_t I2C_GetDeviceNameLocID(uint32_t index, char *name, uint32_t nameSize,
                                                    uint32_t *locationId) {
    return Serve([&](Library &library) {
        if (locationId == nullptr) return Status::kInvalidArgument;
        const UsbDevice *device = nullptr;
        const Status status = Named(library, index, name, nameSize, device);
        if (status == Status::kOk) *locationId = device->location;
        return status;
    });
}

FTDI_ADAPTER_EXPORT uint32_t I2C_GetDeviceNameSerialNumber(uint32_t index, char *name,
                                                           uint32_t nameSize, char *serial) {
    return Serve([&](Library &library) {
        if (serial == nullptr) return Status::kInvalidArgument;
        const UsbDevice *device = nullptr;
        const Status status = Named(library, index, name, nameSize, device);
        if (status == Status::kOk) CopyText(serial, kSerialNumberBuffer, device->serialNumber);
        return status;
    });
}

FTDI_ADAPTER_EXPORT uint32_t I2C_OpenEx(char *name, uint32_t locationId, AdapterHandle *handle) {
    return Serve([&](Library &library) {
        if (name == nullptr) return Status::kInvalidArgument;
        return Open(library, handle, [&](const UsbDevice &device) {
            return device.description == name && device.location == locationId;
        });
    });
}

FTDI_ADAPTER_EXPORT uint32_t I2C_OpenExSerialNumber(char *name, char *serial,
                                                    AdapterHandle *handle) {
    return Serve([&](Library &library) {
        if (name == nullptr || serial == nullptr) return Status::kInvalidArgument;
        return Open(library, handle, [&](const UsbDevice &device) {
            return device.description == name && device.serialNumber == serial;
        });
    });
}

// The first engine attached.
FTDI_ADAPTER_EXPORT uint32_t I2C_Open(AdapterHandle *handle) {
    return Serve([&](Library &library) {
        return Open(library, handle, [](const UsbDevice &) { return true; });
    });
}

FTDI_ADAPTER_EXPORT uint32_t I2C_Close(AdapterHandle handle) {
    return Serve([&](Library &library) {
        return library.open.erase(handle) == 1 ? Status::kOk : Status::kInvalidHandle;
    });
}

FTDI_ADAPTER_EXPORT uint32_t I2C_InitDevice(AdapterHandle handle, uint32_t clockDivisor) {
    return Serve([&](Library &library) {
        Status status = Status::kOk;
        OpenEngine *engine = Engine(library, handle, status, false);
        if (engine == nullptr) return status;
        engine->initialised = false;
        status = engine->master.Initialise(clockDivisor);
        engine->initialised = status == Status::kOk;
        if (status == Status::kAdapterTimedOut || status == Status::kEngineOutOfStep) {
            Silence(library, engine->device);
        }
        return status;
    });
}

FTDI_ADAPTER_EXPORT uint32_t I2C_GetClock(uint32_t clockDivisor, uint32_t *frequencyHz) {
    return Serve([&](Library &) {
        if (frequencyHz == nullptr || clockDivisor > kMaxClockDivisor) {
            return Status::kInvalidArgument;
        }
        *frequencyHz = ClockFrequency(Chip::kFt232H, clockDivisor);
        return Status::kOk;
    });
}

FTDI_ADAPTER_EXPORT uint32_t I2C_SetClock(AdapterHandle handle, uint32_t clockDivisor,
                                          uint32_t *frequencyHz) {
    return Serve([&](Library &library) {
        Status status = Status::kOk;
        OpenEngine *engine = Engine(library, handle, status);
        if (engine == nullptr) return status;
        if (frequencyHz == nullptr) return Status::kInvalidArgument;
        status = engine->master.SetClock(clockDivisor);
        if (status == Status::kOk) *frequencyHz = engine->master.Frequency();
        return status;
    });
}

FTDI_ADAPTER_EXPORT uint32_t I2C_SetLoopback(AdapterHandle handle, int32_t loopback) {
    return Serve([&](Library &library) {
        Status status = Status::kOk;
        OpenEngine *engine = Engine(library, handle, status);
        return engine == nullptr ? status : engine->master.SetLoopback(loopback != 0);
    });
}

FTDI_ADAPTER_EXPORT uint32_t I2C_SetMode(AdapterHandle handle, uint32_t mode) {
    return Serve([&](Library &library) {
        Status status = Status::kOk;
        if (Engine(library, handle, status, false) == nullptr) return status;
        return mode == kStandardMode ? Status::kOk : Status::kNotSupported;
    });
}

FTDI_ADAPTER_EXPORT uint32_t I2C_Write(AdapterHandle handle, uint8_t *control,
                                       uint32_t controlCount, int32_t controlAck,
                                       uint32_t controlAckTimeoutMs, int32_t stopCondition,
                                       uint32_t writeType, uint8_t *data, uint32_t dataCount,
                                       int32_t dataAck, uint32_t dataAckTimeoutMs,
                                       PageWriteRecord *page) {
    return Serve([&](Library &library) {
        Status status = Status::kOk;
        OpenEngine *engine = Engine(library, handle, status);
        if (engine == nullptr) return status;
        if (!ControlIsValid(control, controlCount, controlAck) || (dataAck != 0 && dataAck != 1) ||
            !WriteIsValid(writeType, data, dataCount, page)) {
            return Status::kInvalidArgument;
        }
        // Every transaction here ends with a stop.
        if (stopCondition != 1) return Status::kNotSupported;
        const AckCheck controlCheck{controlAck == 1, controlAckTimeoutMs};
        const AckCheck dataCheck{dataAck == 1, dataAckTimeoutMs};
        if (writeType != kPages) {
            return engine->master.Write(control, controlCount, controlCheck, data, dataCount,
                                        dataCheck);
        }
        // Each page is a transaction of its own, at its own offset.
        for (uint32_t number = 0; number < page->pages && status == Status::kOk; ++number) {
            const uint32_t advance = number * page->bytesPerPage;
            const std::vector<uint8_t> paged = PageControl(control, controlCount, advance);
            status = engine->master.Write(paged.data(), controlCount, controlCheck, data + advance,
                                          page->bytesPerPage, dataCheck);
        }
        return status;
    });
}

FTDI_ADAPTER_EXPORT uint32_t I2C_Read(AdapterHandle handle, uint8_t *control,
                                      uint32_t controlCount, int32_t controlAck,
                                      uint32_t controlAckTimeoutMs, uint32_t readType,
                                      uint8_t *data, uint32_t dataCount) {
    return Read(handle, control, controlCount, controlAck, controlAckTimeoutMs, readType, data,
                dataCount, ReadTurn::kRepeatedStart);
}

// The same read with a stop and a fresh start between the command and the data, for devices
// that do not take a repeated start.
FTDI_ADAPTER_EXPORT uint32_t I2C_ReadAlt(AdapterHandle handle, uint8_t *control,
                                         uint32_t controlCount, int32_t controlAck,
                                         uint32_t controlAckTimeoutMs, uint32_t readType,
                                         uint8_t *data, uint32_t dataCount) {
    return Read(handle, control, controlCount, controlAck, controlAckTimeoutMs, readType, data,
                dataCount, ReadTurn::kStopThenStart);
}

FTDI_ADAPTER_EXPORT uint32_t I2C_GetDllVersion(char *text, uint32_t size) {
    return Serve([&](Library &) {
        if (text == nullptr || size == 0) return Status::kInvalidArgument;
        CopyText(text, size, std::string(kVersion) + " over " + Backend().Name());
        return Status::kOk;
    });
}

// One language: English, whatever is asked for.
FTDI_ADAPTER_EXPORT uint32_t I2C_GetErrorCodeString(char *language, uint32_t status, char *text,
                                                    uint32_t size) {
    return Serve([&](Library &) {
        (void)language;
        if (text == nullptr || size == 0) return Status::kInvalidArgument;
        CopyText(text, size, StatusText(status));
        return Status::kOk;
    });
}

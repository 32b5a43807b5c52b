// The emulated adapter library's adapter entry points: the adapter library's calls, served by
// virtual supplies behind virtual adapters.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>

#include "adapter/emulator.h"

using namespace emulated_adapter;

namespace {

// The entry points that move data on the bus; a scheduled transfer failure answers only these.
constexpr std::array<std::string_view, 3> kTransferEntryPoints = {"I2C_Read", "I2C_ReadAlt",
                                                                   "I2C_Write"};

// The adapter at `index` of the enumeration: the index-th of those plugged, by rank.
Adapter *EnumeratedAdapter(Emulator &emulator, uint32_t index) {
    std::vector<Adapter *> plugged;
    for (Adapter &adapter : emulator.adapters) {
        if (adapter.plugged) plugged.push_back(&adapter);
    }
    std::stable_sort(plugged.begin(), plugged.end(), [](const Adapter *a, const Adapter *b) {
        return a->enumerationRank < b->enumerationRank;
    });
    return index < plugged.size() ? plugged[index] : nullptr;
}

// True, with `status` set, when a test asked this step of the adapter to fail now.
bool StepFails(Adapter &adapter, EmulatedAdapterStep step, uint32_t &status) {
    StepFailure &failure = adapter.failures[step];
    if (failure.left == 0) return false;
    --failure.left;
    status = failure.status;
    return true;
}

// The adapter a handle reaches now; null, with the status that refuses the call, for a dead,
// closed or unknown handle.
Adapter *LiveAdapter(Emulator &emulator, AdapterHandle handle, uint32_t &refusal) {
    const auto record = emulator.handles.find(handle);
    if (record == emulator.handles.end() || record->second.closed) {
        refusal = kInvalidHandle;
        return nullptr;
    }
    Adapter &adapter = emulator.adapters[record->second.adapter];
    if (!adapter.plugged || adapter.openHandle != handle) {
        refusal = kDeviceNotFound;
        return nullptr;
    }
    return &adapter;
}

// The bus clock the divisor gives, from the adapter's 12 MHz.
uint32_t ClockFrequency(uint32_t clockDivisor, uint32_t *frequencyHz) {
    if (frequencyHz == nullptr || clockDivisor > kMaxClockDivisor) return kInvalidArgument;
    *frequencyHz = 12000000 / ((1 + clockDivisor) * 2);
    return kOk;
}

// True when the scheduled transfer failure answers this transfer; one it lets pass counts towards
// its skip.
bool TransferFails(TransferFailure &failure, const char *entryPoint) {
    if (failure.left == 0 || std::find(kTransferEntryPoints.begin(), kTransferEntryPoints.end(),
                                       entryPoint) == kTransferEntryPoints.end()) {
        return false;
    }
    if (failure.skip > 0) {
        --failure.skip;
        return false;
    }
    --failure.left;
    return true;
}

// Every entry point runs through here: counted and logged, and answered by a test's control
// instead of `work` when the test asked for that. The entry point's own controls come before a
// scheduled transfer failure, so a transfer they answer does not count towards its skip.
// `work` may note an opened handle in the call.
template <class Work>
uint32_t Serve(const char *entryPoint, AdapterHandle handle, uint32_t argument, Work work) {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    EmulatedCall call{};
    CopyText(call.entryPoint, sizeof call.entryPoint, entryPoint);
    call.handle = handle;
    call.argument = argument;
    EntryPointControl &control = emulator.controls[entryPoint];
    ++control.calls;
    bool raises = false;
    std::optional<uint32_t> failure;  // the status a test asked for instead of the work
    if (control.throwsLeft > 0) {
        --control.throwsLeft;
        raises = true;
    } else if (control.failuresLeft > 0) {
        --control.failuresLeft;
        failure = control.failureStatus;
    } else if (TransferFails(emulator.transferFailure, entryPoint)) {
        raises = emulator.transferFailure.raises;
        failure = emulator.transferFailure.status;
    }
    if (raises) {
        call.raised = 1;
        emulator.calls.Append(call);
        throw std::runtime_error(std::string("emulated adapter: ") + entryPoint + " raised");
    }
    call.status = failure ? *failure : work(emulator, call);
    emulator.calls.Append(call);
    return call.status;
}

// Naming: the description and what `report` writes of the adapter at `index`.
uint32_t Name(Emulator &emulator, uint32_t index, char *name, uint32_t nameSize,
              const std::function<void(const Adapter &)> &report) {
    if (name == nullptr || nameSize == 0) return kInvalidArgument;
    Adapter *adapter = EnumeratedAdapter(emulator, index);
    if (adapter == nullptr) return kDeviceNotFound;
    uint32_t status = kOk;
    if (StepFails(*adapter, EmulatedAdapterNamingStep, status)) return status;
    CopyText(name, nameSize, adapter->description);
    report(*adapter);
    return kOk;
}

// Opening the first plugged adapter that `matches`: refused while it is open already.
uint32_t Open(Emulator &emulator, EmulatedCall &call, AdapterHandle *handle,
              const std::function<bool(const Adapter &)> &matches) {
    if (handle == nullptr) return kInvalidArgument;
    const auto adapter = std::find_if(emulator.adapters.begin(), emulator.adapters.end(),
                                      [&](const Adapter &a) { return a.plugged && matches(a); });
    if (adapter == emulator.adapters.end()) return kDeviceNotFound;
    uint32_t status = kOk;
    if (StepFails(*adapter, EmulatedAdapterOpeningStep, status)) return status;
    if (adapter->openHandle != 0) return kAlreadyOpen;
    const AdapterHandle opened = NewHandle(emulator, *adapter);
    adapter->openHandle = opened;
    emulator.handles[opened] =
        HandleRecord{static_cast<uint32_t>(adapter - emulator.adapters.begin())};
    *handle = opened;
    call.handle = opened;
    return kOk;
}

// The launcher's adapters as they are now, taken over at the start of each enumeration. Adapters
// keep their numbers there too (they are only ever added). When the launcher cannot be reached,
// its adapters are unplugged and the enumeration fails with kLauncherNotAnswering.
uint32_t SyncSharedAdapters(Emulator &emulator) {
    if (!emulator.sharedSupplies) return kOk;
    const std::optional<std::vector<sim::SharedAdapter>> list = emulator.sharedSupplies->List();
    const size_t known = list ? list->size() : 0;
    while (emulator.adapters.size() < known) {
        emulator.adapters[Plug(emulator, nullptr)].shared = true;
    }
    for (size_t number = 0; number < emulator.adapters.size(); ++number) {
        Adapter &adapter = emulator.adapters[number];
        if (!adapter.shared) continue;
        if (number >= known) {
            adapter.plugged = false;
            continue;
        }
        const sim::SharedAdapter &served = (*list)[number];
        // Plugged back in since: a new device, the handle it had is dead.
        if (served.generation != adapter.generation) adapter.openHandle = 0;
        adapter.generation = served.generation;
        adapter.plugged = served.plugged;
        adapter.description = served.description;
        adapter.serialNumber = served.serialNumber;
        adapter.location = served.location;
    }
    return list ? kOk : kLauncherNotAnswering;
}

// One transaction on an adapter's bus, in this process or at the launcher: acknowledged, not
// acknowledged, or the device is gone (the launcher unplugged it or stopped).
uint32_t OnBus(Emulator &emulator, Adapter &adapter, uint8_t address,
               std::span<const uint8_t> written, uint8_t *read, uint32_t readCount) {
    if (!adapter.shared) {
        sim::I2cBus &bus = adapter.supply->Bus();
        const bool acknowledged =
            read == nullptr
                ? bus.Write(address, written.data(), static_cast<uint32_t>(written.size()))
                : bus.WriteThenRead(address, written.data(),
                                    static_cast<uint32_t>(written.size()), read, readCount);
        return acknowledged ? kOk : kNotAcknowledged;
    }
    const sim::SharedTransfer transfer{
        .request = read == nullptr ? sim::SharedRequest::Write : sim::SharedRequest::WriteThenRead,
        .adapter = static_cast<uint32_t>(&adapter - emulator.adapters.data()),
        .generation = adapter.generation,
        .address = address,
        .written = std::vector<uint8_t>(written.begin(), written.end()),
        .readCount = read == nullptr ? 0 : readCount,
    };
    std::vector<uint8_t> answer;
    switch (emulator.sharedSupplies->Transfer(transfer, answer)) {
    case sim::TransferOutcome::Acknowledged:
        if (read != nullptr) std::copy(answer.begin(), answer.end(), read);
        return kOk;
    case sim::TransferOutcome::NotAcknowledged: return kNotAcknowledged;
    case sim::TransferOutcome::Gone: break;
    }
    adapter.plugged = false;
    return kDeviceNotFound;
}

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
             const uint8_t *control, uint32_t controlCount, const uint8_t *data, uint32_t dataCount,
             uint32_t status) {
    EmulatedTransfer transfer{};
    CopyText(transfer.entryPoint, sizeof transfer.entryPoint, entryPoint);
    transfer.handle = handle;
    transfer.status = status;
    transfer.controlCount = controlCount;
    CopyBytes(transfer.control, sizeof transfer.control, control,
              std::min(controlCount, kMaxControlCount));
    transfer.dataCount = dataCount;
    CopyBytes(transfer.data, sizeof transfer.data, data, std::min(dataCount, kMaxDataCount));
    emulator.transfers.Append(transfer);
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
uint32_t Read(const char *entryPoint, AdapterHandle handle, uint8_t *control, uint32_t controlCount,
              int32_t controlAck, uint32_t controlAckTimeoutMs, uint32_t readType, uint8_t *data,
              uint32_t dataCount) {
    return Serve(entryPoint, handle, dataCount, [&](Emulator &emulator, EmulatedCall &) {
        const auto logged = [&](uint32_t status, const uint8_t *given) {
            return Log(emulator, entryPoint, handle, control, controlCount, given, dataCount,
                       status);
        };
        uint32_t refusal = kOk;
        Adapter *adapter = LiveAdapter(emulator, handle, refusal);
        if (adapter == nullptr) return logged(refusal, nullptr);
        if (!ControlIsValid(control, controlCount, controlAck, controlAckTimeoutMs) ||
            readType != kReadType || !DataIsValid(data, dataCount)) {
            return logged(kInvalidArgument, nullptr);
        }
        const uint32_t status = OnBus(emulator, *adapter, control[0],
                                      std::span(control + 1, controlCount - 1), data, dataCount);
        return logged(status, status == kOk ? data : nullptr);
    });
}

// What a status means, for a person.
std::string StatusText(const Emulator &emulator, uint32_t status) {
    static constexpr struct {
        uint32_t status;
        const char *text;
    } kTexts[] = {
        {kOk, "success"},
        {kInvalidHandle, "invalid handle"},
        {kDeviceNotFound, "device not found"},
        {kAlreadyOpen, "device already open"},
        {kNotSupported, "not supported"},
        {kInvalidArgument, "invalid argument"},
        {kNotAcknowledged, "not acknowledged on the bus"},
        {kLauncherNotAnswering, "mavozarp-sim, the launcher of the virtual supplies, does not "
                                "answer"},
    };
    for (const auto &known : kTexts) {
        if (known.status != status) continue;
        if (status == kLauncherNotAnswering && emulator.sharedSupplies) {
            return std::string(known.text) + " on " + emulator.sharedSupplies->SocketPath() +
                   ": it is stopped or gone (start it again and use the environment it prints)";
        }
        return known.text;
    }
    return "emulated adapter status " + std::to_string(status);
}

}  // namespace

extern "C" {


EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_GetNumDevices(uint32_t *count) {
    return Serve("I2C_GetNumDevices", 0, 0, [&](Emulator &emulator, EmulatedCall &) {
        if (count == nullptr) return kInvalidArgument;
        const uint32_t synced = SyncSharedAdapters(emulator);
        *count =
            static_cast<uint32_t>(std::count_if(emulator.adapters.begin(), emulator.adapters.end(),
                                                [](const Adapter &a) { return a.plugged; }));
        return synced;
    });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_GetDeviceNameLocID(uint32_t index, char *name,
                                                                      uint32_t nameSize,
                                                                      uint32_t *locationId) {
    return Serve("I2C_GetDeviceNameLocID", 0, index, [&](Emulator &emulator, EmulatedCall &) {
        if (locationId == nullptr) return kInvalidArgument;
        return Name(emulator, index, name, nameSize,
                    [&](const Adapter &adapter) { *locationId = adapter.location; });
    });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_GetDeviceNameSerialNumber(uint32_t index,
                                                                             char *name,
                                                                             uint32_t nameSize,
                                                                             char *serial) {
    return Serve("I2C_GetDeviceNameSerialNumber", 0, index,
                 [&](Emulator &emulator, EmulatedCall &) {
                     if (serial == nullptr) return kInvalidArgument;
                     return Name(emulator, index, name, nameSize, [&](const Adapter &adapter) {
                         CopyText(serial, kSerialNumberBuffer, adapter.serialNumber);
                     });
                 });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_OpenEx(char *name, uint32_t locationId,
                                                          AdapterHandle *handle) {
    return Serve("I2C_OpenEx", 0, locationId, [&](Emulator &emulator, EmulatedCall &call) {
        if (name == nullptr) return kInvalidArgument;
        return Open(emulator, call, handle, [&](const Adapter &adapter) {
            return adapter.description == name && adapter.location == locationId;
        });
    });
}

#if !defined(EMULATED_ADAPTER_WITHOUT_SERIAL_NUMBER)
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_OpenExSerialNumber(char *name, char *serial,
                                                                      AdapterHandle *handle) {
    return Serve("I2C_OpenExSerialNumber", 0, 0, [&](Emulator &emulator, EmulatedCall &call) {
        if (name == nullptr || serial == nullptr) return kInvalidArgument;
        return Open(emulator, call, handle, [&](const Adapter &adapter) {
            return adapter.description == name && adapter.serialNumber == serial;
        });
    });
}
#endif

// Adapters are opened by their names; the plain open is not offered.
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_Open(AdapterHandle *handle) {
    return Serve("I2C_Open", 0, 0, [&](Emulator &, EmulatedCall &) {
        (void)handle;
        return kNotSupported;
    });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_Close(AdapterHandle handle) {
    return Serve("I2C_Close", handle, 0, [&](Emulator &emulator, EmulatedCall &) {
        const auto record = emulator.handles.find(handle);
        if (record == emulator.handles.end() || record->second.closed) return kInvalidHandle;
        record->second.closed = true;
        Adapter &adapter = emulator.adapters[record->second.adapter];
        if (adapter.openHandle == handle) adapter.openHandle = 0;
        return kOk;
    });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_InitDevice(AdapterHandle handle,
                                                              uint32_t clockDivisor) {
    return Serve("I2C_InitDevice", handle, clockDivisor, [&](Emulator &emulator, EmulatedCall &) {
        uint32_t status = kOk;
        Adapter *adapter = LiveAdapter(emulator, handle, status);
        if (adapter == nullptr || StepFails(*adapter, EmulatedAdapterInitialisingStep, status)) {
            return status;
        }
        return clockDivisor <= kMaxClockDivisor ? kOk : kInvalidArgument;
    });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_SetMode(AdapterHandle handle, uint32_t mode) {
    return Serve("I2C_SetMode", handle, mode, [&](Emulator &emulator, EmulatedCall &) {
        uint32_t status = kOk;
        Adapter *adapter = LiveAdapter(emulator, handle, status);
        if (adapter == nullptr || StepFails(*adapter, EmulatedAdapterModeStep, status)) {
            return status;
        }
        return mode == 1 ? kOk : kNotSupported;
    });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_GetClock(uint32_t clockDivisor,
                                                            uint32_t *frequencyHz) {
    return Serve("I2C_GetClock", 0, clockDivisor, [&](Emulator &, EmulatedCall &) {
        return ClockFrequency(clockDivisor, frequencyHz);
    });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_SetClock(AdapterHandle handle,
                                                            uint32_t clockDivisor,
                                                            uint32_t *frequencyHz) {
    return Serve("I2C_SetClock", handle, clockDivisor, [&](Emulator &emulator, EmulatedCall &) {
        uint32_t status = kOk;
        if (LiveAdapter(emulator, handle, status) == nullptr) return status;
        return ClockFrequency(clockDivisor, frequencyHz);
    });
}

#if !defined(EMULATED_ADAPTER_WITHOUT_LOOPBACK)
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_SetLoopback(AdapterHandle handle,
                                                               int32_t loopback) {
    return Serve("I2C_SetLoopback", handle, static_cast<uint32_t>(loopback),
                 [&](Emulator &emulator, EmulatedCall &) {
                     uint32_t status = kOk;
                     LiveAdapter(emulator, handle, status);
                     return status;
                 });
}
#endif

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL
I2C_Write(AdapterHandle handle, uint8_t *control, uint32_t controlCount, int32_t controlAck,
          uint32_t controlAckTimeoutMs, int32_t stopCondition, uint32_t writeType, uint8_t *data,
          uint32_t dataCount, int32_t dataAck, uint32_t dataAckTimeoutMs, PageWriteRecord *page) {
    return Serve("I2C_Write", handle, dataCount, [&](Emulator &emulator, EmulatedCall &) {
        const auto logged = [&](uint32_t status) {
            return Log(emulator, "I2C_Write", handle, control, controlCount, data, dataCount,
                       status);
        };
        uint32_t refusal = kOk;
        Adapter *adapter = LiveAdapter(emulator, handle, refusal);
        if (adapter == nullptr) return logged(refusal);
        if (!ControlIsValid(control, controlCount, controlAck, controlAckTimeoutMs) ||
            stopCondition != kStopCondition || !DataIsValid(data, dataCount) || dataAck != kAck ||
            dataAckTimeoutMs != kAckTimeoutMs || !PagesAreValid(writeType, dataCount, page)) {
            return logged(kInvalidArgument);
        }
        std::vector<uint8_t> bytes(control + 1, control + controlCount);
        bytes.insert(bytes.end(), data, data + dataCount);
        return logged(OnBus(emulator, *adapter, control[0], bytes, nullptr, 0));
    });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_Read(AdapterHandle handle, uint8_t *control,
                                                        uint32_t controlCount, int32_t controlAck,
                                                        uint32_t controlAckTimeoutMs,
                                                        uint32_t readType, uint8_t *data,
                                                        uint32_t dataCount) {
    return Read("I2C_Read", handle, control, controlCount, controlAck, controlAckTimeoutMs,
                readType, data, dataCount);
}

// The parts see the same transaction as for I2C_Read: the adapter drives the lines differently,
// which the device models do not tell apart.
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL
I2C_ReadAlt(AdapterHandle handle, uint8_t *control, uint32_t controlCount, int32_t controlAck,
            uint32_t controlAckTimeoutMs, uint32_t readType, uint8_t *data, uint32_t dataCount) {
    return Read("I2C_ReadAlt", handle, control, controlCount, controlAck, controlAckTimeoutMs,
                readType, data, dataCount);
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_GetDllVersion(char *text, uint32_t size) {
    return Serve("I2C_GetDllVersion", 0, size, [&](Emulator &emulator, EmulatedCall &) {
        if (text == nullptr) return kInvalidArgument;
        // Like a careless library, the text is not terminated when it fills the buffer.
        const size_t length = emulator.version.size();
        std::memcpy(text, emulator.version.c_str(), length < size ? length + 1 : size);
        return kOk;
    });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_GetErrorCodeString(char *language,
                                                                      uint32_t status, char *text,
                                                                      uint32_t size) {
    return Serve("I2C_GetErrorCodeString", 0, status, [&](Emulator &emulator, EmulatedCall &) {
        (void)language;
        if (text == nullptr) return kInvalidArgument;
        if (size > 0) CopyText(text, size, StatusText(emulator, status));
        return kOk;
    });
}

}  // extern "C"

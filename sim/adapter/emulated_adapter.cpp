// The emulated adapter library: the adapter library's entry points, served by virtual supplies
// behind virtual adapters.
#include "adapter/emulated_adapter.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bus/adapter_supply_list.h"
#include "bus/head_presets.h"
#include "bus/virtual_supply.h"
#include "transport/adapter_entry_points.h"

namespace {

constexpr const char *kDefaultVersion = "MavoFTCI2C emulated 1.0";
constexpr const char *kDefaultDescription = "ZARP Power Supply A";
// Default locations, far from the enumeration indices so that a mix-up shows.
constexpr uint32_t kFirstLocation = 0x2101;
// The serial number buffer a caller passes holds 100 bytes.
constexpr size_t kSerialNumberBuffer = 100;

// Statuses, as a real adapter library gives them.
constexpr uint32_t kOk = 0;
constexpr uint32_t kInvalidHandle = 1;
constexpr uint32_t kDeviceNotFound = 2;
constexpr uint32_t kAlreadyOpen = 3;
constexpr uint32_t kNotSupported = 17;
constexpr uint32_t kInvalidArgument = 22;
constexpr uint32_t kNotAcknowledged = 30;

// Handles: far from 0 and from all bits set, and not consecutive, so that a mix-up shows. The
// sequence goes on across resets: a handle is never given twice in a process.
constexpr AdapterHandle kFirstHandle = 0x5A00;
constexpr AdapterHandle kHandleStep = 0x10;
constexpr uint32_t kMaxClockDivisor = 0xFFFF;

// What a test asked of one entry point.
struct EntryPointControl {
    uint32_t calls = 0;
    uint32_t failuresLeft = 0;
    uint32_t failureStatus = 0;
    uint32_t throwsLeft = 0;
};

// A failure a test placed on the stream of transfers, whatever the entry point and handle.
struct TransferFailure {
    uint32_t skip = 0;  // transfers still to pass before the failures
    uint32_t left = 0;  // transfers still to fail
    uint32_t status = 0;
    bool raises = false;
};

// The entry points that move data on the bus; a scheduled transfer failure answers only these.
constexpr std::array<std::string_view, 3> kTransferEntryPoints = {"I2C_Read", "I2C_ReadAlt",
                                                                   "I2C_Write"};

struct StepFailure {
    uint32_t left = 0;
    uint32_t status = 0;
};
constexpr uint32_t kStepCount = EmulatedAdapterModeStep + 1;

struct Adapter {
    std::string description = kDefaultDescription;
    std::string serialNumber;
    uint32_t location = 0;
    bool plugged = true;
    int64_t enumerationRank = 0;       // plugged adapters are enumerated by rising rank
    AdapterHandle openHandle = 0;      // 0 while not open
    AdapterHandle nextOpenHandle = 0;  // the handle a test asked for, 0 for none
    std::array<StepFailure, kStepCount> failures{};
    std::unique_ptr<sim::VirtualSupply> supply = std::make_unique<sim::VirtualSupply>();
};

// A handle given by an open. It reaches its adapter while the adapter is plugged and open under
// it; once the adapter was unplugged (and maybe plugged back since) it is dead until closed.
struct HandleRecord {
    uint32_t adapter;
    bool closed = false;
};

// The newest entries of a log that a long run would otherwise grow without end (a tool watching a
// virtual supply for days, a benchmark of a million commands). Entries keep the numbers they were
// given from the first one since the last clear; older ones are forgotten once `kCapacity` newer
// ones follow.
template <class Entry>
class RecentLog {
public:
    static constexpr size_t kCapacity = 65536;

    void Append(const Entry &entry) {
        if (ring_.size() < kCapacity) {
            ring_.push_back(entry);
        } else {
            ring_[count_ % kCapacity] = entry;
        }
        ++count_;
    }
    // Entries appended since the last clear, forgotten ones included.
    uint64_t Count() const { return count_; }
    // The entry with that number; null when forgotten or not yet appended.
    const Entry *Find(uint64_t number) const {
        if (number >= count_ || count_ - number > ring_.size()) return nullptr;
        return &ring_[number % kCapacity];
    }
    void Clear() {
        ring_.clear();
        count_ = 0;
    }

private:
    std::vector<Entry> ring_;
    uint64_t count_ = 0;
};

// A logged entry by number for a control: 0 when copied, -1 when there is no such entry.
template <class Entry>
int32_t CopyLogged(const RecentLog<Entry> &log, uint32_t number, Entry *to) {
    const Entry *entry = log.Find(number);
    if (entry == nullptr || to == nullptr) return -1;
    *to = *entry;
    return 0;
}

struct Emulator {
    std::mutex mutex;
    std::string version = kDefaultVersion;
    std::map<std::string, EntryPointControl> controls;
    std::vector<Adapter> adapters;  // by adapter number
    std::map<AdapterHandle, HandleRecord> handles;
    AdapterHandle nextHandle = kFirstHandle;
    TransferFailure transferFailure;
    RecentLog<EmulatedTransfer> transfers;
    RecentLog<EmulatedCall> calls;
};

// A new adapter, plugged and not open, with a naming of its own; returns its number.
uint32_t Plug(Emulator &emulator, const sim::HeadPreset *preset) {
    const auto number = static_cast<uint32_t>(emulator.adapters.size());
    Adapter &adapter = emulator.adapters.emplace_back();
    adapter.enumerationRank = number;
    adapter.serialNumber = "ZV" + std::to_string(1001 + number);
    adapter.location = kFirstLocation + number;
    if (preset != nullptr) preset->apply(*adapter.supply);
    return number;
}

// The supplies a host program asked for in the environment; each bad entry gets one line on
// standard error and is left out.
void PlugConfiguredSupplies(Emulator &emulator) {
    const char *configured = std::getenv(sim::kAdapterSupplyListVariable);
    if (configured == nullptr) return;
    const sim::AdapterSupplyList list = sim::ParseAdapterSupplyList(configured);
    for (const sim::AdapterSupplyProblem &problem : list.problems) {
        std::fprintf(stderr, "emulated adapter library: %s entry \"%s\" left out: %s\n",
                     sim::kAdapterSupplyListVariable, problem.entry.c_str(),
                     problem.reason.c_str());
    }
    for (const sim::AdapterSupplyEntry &entry : list.entries) {
        Adapter &adapter = emulator.adapters[Plug(emulator, sim::FindHeadPreset(entry.preset))];
        adapter.description = entry.description.value_or(adapter.description);
        adapter.serialNumber = entry.serialNumber.value_or(adapter.serialNumber);
        adapter.location = entry.location.value_or(adapter.location);
    }
}

Emulator &State() {
    static Emulator *emulator = [] {
        auto *created = new Emulator;
        PlugConfiguredSupplies(*created);
        return created;
    }();
    return *emulator;
}

Adapter *FindAdapter(Emulator &emulator, uint32_t number) {
    return number < emulator.adapters.size() ? &emulator.adapters[number] : nullptr;
}

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

AdapterHandle NewHandle(Emulator &emulator, Adapter &adapter) {
    AdapterHandle handle = adapter.nextOpenHandle;
    adapter.nextOpenHandle = 0;
    if (handle == 0) {
        handle = emulator.nextHandle;
        emulator.nextHandle += kHandleStep;
    }
    return handle;
}

// The bus clock the divisor gives, from the adapter's 12 MHz.
uint32_t ClockFrequency(uint32_t clockDivisor, uint32_t *frequencyHz) {
    if (frequencyHz == nullptr || clockDivisor > kMaxClockDivisor) return kInvalidArgument;
    *frequencyHz = 12000000 / ((1 + clockDivisor) * 2);
    return kOk;
}

void CopyText(char *to, size_t capacity, const std::string &text) {
    std::snprintf(to, capacity, "%s", text.c_str());
}

// A text of a naming record, also when a test left it unterminated.
template <size_t Size>
std::string BoundedText(const char (&text)[Size]) {
    return std::string(text, std::find(text, text + Size - 1, '\0'));
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
        const bool acknowledged = adapter->supply->Bus().WriteThenRead(
            control[0], control + 1, controlCount - 1, data, dataCount);
        return acknowledged ? logged(kOk, data) : logged(kNotAcknowledged, nullptr);
    });
}

// The controls act under the emulator's lock.
template <class Action>
auto Controlled(Action action) {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    return action(emulator);
}

// An adapter control: -1 for an unknown adapter, else what `action` answers.
template <class Action>
int32_t OnAdapter(uint32_t number, Action action) {
    return Controlled([&](Emulator &emulator) {
        Adapter *adapter = FindAdapter(emulator, number);
        return adapter == nullptr ? -1 : action(*adapter);
    });
}

}  // namespace

extern "C" {

EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_Reset() {
    Controlled([](Emulator &emulator) {
        emulator.version = kDefaultVersion;
        emulator.controls.clear();
        emulator.transferFailure = {};
        emulator.adapters.clear();
        emulator.handles.clear();
        emulator.transfers.Clear();
        emulator.calls.Clear();
    });
}

EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_SetVersion(const char *text) {
    Controlled([&](Emulator &emulator) { emulator.version = text; });
}

EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_FailNext(const char *entryPoint,
                                                                    uint32_t count,
                                                                    uint32_t status) {
    Controlled([&](Emulator &emulator) {
        EntryPointControl &control = emulator.controls[entryPoint];
        control.failuresLeft = count;
        control.failureStatus = status;
    });
}

EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_ThrowNext(const char *entryPoint,
                                                                     uint32_t count) {
    Controlled([&](Emulator &emulator) { emulator.controls[entryPoint].throwsLeft = count; });
}

EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_FailTransferAfter(uint32_t skip,
                                                                             uint32_t count,
                                                                             uint32_t status) {
    Controlled(
        [&](Emulator &emulator) { emulator.transferFailure = {skip, count, status, false}; });
}

EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_ThrowTransferAfter(uint32_t skip,
                                                                              uint32_t count) {
    Controlled([&](Emulator &emulator) { emulator.transferFailure = {skip, count, 0, true}; });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_CallCount(const char *entryPoint) {
    return Controlled([&](Emulator &emulator) {
        const auto it = emulator.controls.find(entryPoint);
        return it == emulator.controls.end() ? 0 : it->second.calls;
    });
}

EMULATED_ADAPTER_EXPORT AdapterHandle MAVOZARP_CALL EmulatedAdapter_AddSupply() {
    return Controlled([](Emulator &emulator) {
        const uint32_t number = Plug(emulator, nullptr);
        Adapter &adapter = emulator.adapters[number];
        adapter.openHandle = NewHandle(emulator, adapter);
        emulator.handles[adapter.openHandle] = HandleRecord{number};
        return adapter.openHandle;
    });
}

EMULATED_ADAPTER_EXPORT void *MAVOZARP_CALL EmulatedAdapter_Supply(AdapterHandle handle) {
    return Controlled([&](Emulator &emulator) -> void * {
        const auto record = emulator.handles.find(handle);
        if (record == emulator.handles.end()) return nullptr;
        return emulator.adapters[record->second.adapter].supply.get();
    });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_TransferCount() {
    return Controlled(
        [](Emulator &emulator) { return static_cast<uint32_t>(emulator.transfers.Count()); });
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL
EmulatedAdapter_GetTransfer(uint32_t index, EmulatedTransfer *transfer) {
    return Controlled(
        [&](Emulator &emulator) { return CopyLogged(emulator.transfers, index, transfer); });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_PlugSupply(const char *preset) {
    const bool withPreset = preset != nullptr && preset[0] != '\0';
    const sim::HeadPreset *found = withPreset ? sim::FindHeadPreset(preset) : nullptr;
    if (withPreset && found == nullptr) return EMULATED_ADAPTER_NONE;
    return Controlled([&](Emulator &emulator) { return Plug(emulator, found); });
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL EmulatedAdapter_SetPlugged(uint32_t adapter,
                                                                         int32_t plugged) {
    return OnAdapter(adapter, [&](Adapter &found) {
        // Back in, the adapter is a new device: the handle it had is dead.
        if (plugged != 0 && !found.plugged) found.openHandle = 0;
        found.plugged = plugged != 0;
        return 0;
    });
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL EmulatedAdapter_SetExternalLevels(uint32_t adapter,
                                                                                uint32_t expander,
                                                                                uint32_t port,
                                                                                uint32_t levels) {
    if (expander > 0xFF || levels > 0xFF) return -1;
    return OnAdapter(adapter, [&](Adapter &found) {
        try {
            found.supply->SetExternalLevels(static_cast<uint8_t>(expander), static_cast<uint8_t>(port),
                                            static_cast<uint8_t>(levels));
            return 0;
        } catch (const std::out_of_range &) {  // no expander there, or no such port
            return -1;
        }
    });
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL EmulatedAdapter_EnumerateFirst(uint32_t adapter) {
    return Controlled([&](Emulator &emulator) {
        Adapter *found = FindAdapter(emulator, adapter);
        if (found == nullptr) return -1;
        int64_t first = found->enumerationRank;
        for (const Adapter &other : emulator.adapters) first = std::min(first, other.enumerationRank);
        found->enumerationRank = first - 1;
        return 0;
    });
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL
EmulatedAdapter_GetNaming(uint32_t adapter, EmulatedAdapterNaming *naming) {
    if (naming == nullptr) return -1;
    return OnAdapter(adapter, [&](Adapter &found) {
        CopyText(naming->description, sizeof naming->description, found.description);
        CopyText(naming->serialNumber, sizeof naming->serialNumber, found.serialNumber);
        naming->location = found.location;
        return 0;
    });
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL
EmulatedAdapter_SetNaming(uint32_t adapter, const EmulatedAdapterNaming *naming) {
    if (naming == nullptr) return -1;
    return OnAdapter(adapter, [&](Adapter &found) {
        found.description = BoundedText(naming->description);
        found.serialNumber = BoundedText(naming->serialNumber);
        found.location = naming->location;
        return 0;
    });
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL EmulatedAdapter_FailStep(uint32_t adapter,
                                                                       uint32_t step,
                                                                       uint32_t count,
                                                                       uint32_t status) {
    if (step >= kStepCount) return -1;
    return OnAdapter(adapter, [&](Adapter &found) {
        found.failures[step] = {count, status};
        return 0;
    });
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL
EmulatedAdapter_SetNextOpenHandle(uint32_t adapter, AdapterHandle handle) {
    if (handle == 0) return -1;
    return OnAdapter(adapter, [&](Adapter &found) {
        found.nextOpenHandle = handle;
        return 0;
    });
}

EMULATED_ADAPTER_EXPORT AdapterHandle MAVOZARP_CALL EmulatedAdapter_OpenHandle(uint32_t adapter) {
    return Controlled([&](Emulator &emulator) {
        const Adapter *found = FindAdapter(emulator, adapter);
        return found == nullptr ? AdapterHandle{0} : found->openHandle;
    });
}

EMULATED_ADAPTER_EXPORT void *MAVOZARP_CALL EmulatedAdapter_AdapterSupply(uint32_t adapter) {
    return Controlled([&](Emulator &emulator) -> void * {
        const Adapter *found = FindAdapter(emulator, adapter);
        return found == nullptr ? nullptr : found->supply.get();
    });
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_CallLogCount() {
    return Controlled(
        [](Emulator &emulator) { return static_cast<uint32_t>(emulator.calls.Count()); });
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL EmulatedAdapter_GetCall(uint32_t index,
                                                                      EmulatedCall *call) {
    return Controlled([&](Emulator &emulator) { return CopyLogged(emulator.calls, index, call); });
}

// ---- the adapter library's entry points ---------------------------------------------------------

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL I2C_GetNumDevices(uint32_t *count) {
    return Serve("I2C_GetNumDevices", 0, 0, [&](Emulator &emulator, EmulatedCall &) {
        if (count == nullptr) return kInvalidArgument;
        *count =
            static_cast<uint32_t>(std::count_if(emulator.adapters.begin(), emulator.adapters.end(),
                                                [](const Adapter &a) { return a.plugged; }));
        return kOk;
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
        const bool acknowledged = adapter->supply->Bus().Write(control[0], bytes.data(),
                                                               static_cast<uint32_t>(bytes.size()));
        return logged(acknowledged ? kOk : kNotAcknowledged);
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
    return Serve("I2C_GetErrorCodeString", 0, status, [&](Emulator &, EmulatedCall &) {
        (void)language;
        if (text == nullptr) return kInvalidArgument;
        if (size > 0) std::snprintf(text, size, "emulated adapter status %u", status);
        return kOk;
    });
}

}  // extern "C"

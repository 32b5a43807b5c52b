// The emulated adapter library's test controls (see adapter/emulated_adapter.h).
#include <stdexcept>
#include <algorithm>

#include "adapter/emulator.h"

using namespace emulated_adapter;

namespace {

// A logged entry by number for a control: 0 when copied, -1 when there is no such entry.
template <class Entry>
int32_t CopyLogged(const RecentLog<Entry> &log, uint32_t number, Entry *to) {
    const Entry *entry = log.Find(number);
    if (entry == nullptr || to == nullptr) return -1;
    *to = *entry;
    return 0;
}

// A text of a naming record, also when a test left it unterminated.
template <size_t Size>
std::string BoundedText(const char (&text)[Size]) {
    return std::string(text, std::find(text, text + Size - 1, '\0'));
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
            found.supply->SetExternalLevels(static_cast<uint8_t>(expander),
                                            static_cast<uint8_t>(port),
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

}  // extern "C"

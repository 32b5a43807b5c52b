#include "support/emulated_adapter_controls.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "support/adapter_library.h"

namespace emulated_adapter {

namespace {

template <class Fn>
Fn Control(const char *name) {
    // The variant a test chose first, else the complete one.
    static const bool loaded = EmulatedAdapterModule() != nullptr || UseEmulatedAdapter() != nullptr;
    if (!loaded) throw std::runtime_error("emulated adapter library not loaded");
    void *symbol = EmulatedAdapterSymbol(name);
    if (symbol == nullptr) throw std::runtime_error(name);
    return reinterpret_cast<Fn>(symbol);
}

}  // namespace

void Reset() { Control<EmulatedAdapter_ResetFn>("EmulatedAdapter_Reset")(); }

AdapterHandle AddSupply() {
    return Control<EmulatedAdapter_AddSupplyFn>("EmulatedAdapter_AddSupply")();
}

sim::VirtualSupply &Supply(AdapterHandle handle) {
    void *supply = Control<EmulatedAdapter_SupplyFn>("EmulatedAdapter_Supply")(handle);
    if (supply == nullptr) throw std::out_of_range("no virtual supply behind the handle");
    return *static_cast<sim::VirtualSupply *>(supply);
}

void FailNext(const char *entryPoint, uint32_t count, uint32_t status) {
    Control<EmulatedAdapter_FailNextFn>("EmulatedAdapter_FailNext")(entryPoint, count, status);
}

void ThrowNext(const char *entryPoint, uint32_t count) {
    Control<EmulatedAdapter_ThrowNextFn>("EmulatedAdapter_ThrowNext")(entryPoint, count);
}

void FailTransferAfter(uint32_t skip, uint32_t count, uint32_t status) {
    Control<EmulatedAdapter_FailTransferAfterFn>("EmulatedAdapter_FailTransferAfter")(skip, count,
                                                                                      status);
}

void ThrowTransferAfter(uint32_t skip, uint32_t count) {
    Control<EmulatedAdapter_ThrowTransferAfterFn>("EmulatedAdapter_ThrowTransferAfter")(skip,
                                                                                        count);
}

uint32_t CallCount(const char *entryPoint) {
    return Control<EmulatedAdapter_CallCountFn>("EmulatedAdapter_CallCount")(entryPoint);
}

std::vector<EmulatedTransfer> Transfers() {
    const uint32_t count =
        Control<EmulatedAdapter_TransferCountFn>("EmulatedAdapter_TransferCount")();
    const auto get = Control<EmulatedAdapter_GetTransferFn>("EmulatedAdapter_GetTransfer");
    std::vector<EmulatedTransfer> transfers(count);
    for (uint32_t i = 0; i < count; ++i) get(i, &transfers[i]);
    return transfers;
}

namespace {

// An adapter control's answer: -1 means no such adapter.
void Check(int32_t result, uint32_t adapter) {
    if (result != 0) throw std::out_of_range("no emulated adapter " + std::to_string(adapter));
}

}  // namespace

uint32_t PlugSupply(const std::string &preset) {
    const uint32_t adapter =
        Control<EmulatedAdapter_PlugSupplyFn>("EmulatedAdapter_PlugSupply")(preset.c_str());
    if (adapter == EMULATED_ADAPTER_NONE) throw std::invalid_argument("unknown preset " + preset);
    return adapter;
}

void SetPlugged(uint32_t adapter, bool plugged) {
    Check(Control<EmulatedAdapter_SetPluggedFn>("EmulatedAdapter_SetPlugged")(adapter, plugged),
          adapter);
}

void SetExternalLevels(uint32_t adapter, uint8_t expander, uint8_t port, uint8_t levels) {
    Check(Control<EmulatedAdapter_SetExternalLevelsFn>("EmulatedAdapter_SetExternalLevels")(
              adapter, expander, port, levels),
          adapter);
}

void EnumerateFirst(uint32_t adapter) {
    Check(Control<EmulatedAdapter_EnumerateFirstFn>("EmulatedAdapter_EnumerateFirst")(adapter),
          adapter);
}

AdapterNaming Naming(uint32_t adapter) {
    EmulatedAdapterNaming naming{};
    Check(Control<EmulatedAdapter_GetNamingFn>("EmulatedAdapter_GetNaming")(adapter, &naming),
          adapter);
    return {naming.description, naming.serialNumber, naming.location};
}

void SetNaming(uint32_t adapter, const AdapterNaming &naming) {
    EmulatedAdapterNaming given{};
    std::snprintf(given.description, sizeof given.description, "%s", naming.description.c_str());
    std::snprintf(given.serialNumber, sizeof given.serialNumber, "%s",
                  naming.serialNumber.c_str());
    given.location = naming.location;
    Check(Control<EmulatedAdapter_SetNamingFn>("EmulatedAdapter_SetNaming")(adapter, &given),
          adapter);
}

void FailStep(uint32_t adapter, EmulatedAdapterStep step, uint32_t count, uint32_t status) {
    Check(Control<EmulatedAdapter_FailStepFn>("EmulatedAdapter_FailStep")(adapter, step, count,
                                                                          status),
          adapter);
}

void SetNextOpenHandle(uint32_t adapter, AdapterHandle handle) {
    Check(Control<EmulatedAdapter_SetNextOpenHandleFn>("EmulatedAdapter_SetNextOpenHandle")(
              adapter, handle),
          adapter);
}

AdapterHandle OpenHandle(uint32_t adapter) {
    return Control<EmulatedAdapter_OpenHandleFn>("EmulatedAdapter_OpenHandle")(adapter);
}

sim::VirtualSupply &AdapterSupply(uint32_t adapter) {
    void *supply =
        Control<EmulatedAdapter_AdapterSupplyFn>("EmulatedAdapter_AdapterSupply")(adapter);
    if (supply == nullptr) Check(-1, adapter);
    return *static_cast<sim::VirtualSupply *>(supply);
}

std::vector<EmulatedCall> Calls() {
    const uint32_t count =
        Control<EmulatedAdapter_CallLogCountFn>("EmulatedAdapter_CallLogCount")();
    const auto get = Control<EmulatedAdapter_GetCallFn>("EmulatedAdapter_GetCall");
    std::vector<EmulatedCall> calls(count);
    for (uint32_t i = 0; i < count; ++i) get(i, &calls[i]);
    return calls;
}

}  // namespace emulated_adapter

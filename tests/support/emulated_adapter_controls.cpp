#include "support/emulated_adapter_controls.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/adapter_library.h"

namespace emulated_adapter {

namespace {

template <class Fn>
Fn Control(const char *name) {
    static const bool loaded = UseEmulatedAdapter() != nullptr;
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

}  // namespace emulated_adapter

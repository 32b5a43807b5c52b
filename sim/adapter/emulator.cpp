#include "adapter/emulator.h"

#include <cstdio>
#include <cstdlib>

#include "bus/adapter_supply_list.h"

namespace emulated_adapter {
namespace {

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

}  // namespace

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

AdapterHandle NewHandle(Emulator &emulator, Adapter &adapter) {
    AdapterHandle handle = adapter.nextOpenHandle;
    adapter.nextOpenHandle = 0;
    if (handle == 0) {
        handle = emulator.nextHandle;
        emulator.nextHandle += kHandleStep;
    }
    return handle;
}

void CopyText(char *to, size_t capacity, const std::string &text) {
    std::snprintf(to, capacity, "%s", text.c_str());
}

}  // namespace emulated_adapter

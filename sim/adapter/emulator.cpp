#include "adapter/emulator.h"

#include <cstdio>
#include <cstdlib>

#include "bus/adapter_supply_list.h"

namespace emulated_adapter {
namespace {

void ApplyNaming(Adapter &adapter, const sim::AdapterNaming &naming) {
    adapter.description = naming.description;
    adapter.serialNumber = naming.serialNumber;
    adapter.location = naming.location;
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
        const uint32_t number = Plug(emulator, sim::FindHeadPreset(entry.preset));
        ApplyNaming(emulator.adapters[number], sim::NamingFor(number, &entry));
    }
}

}  // namespace

// A new adapter, plugged and not open, with a naming of its own; returns its number.
uint32_t Plug(Emulator &emulator, const sim::HeadPreset *preset) {
    const auto number = static_cast<uint32_t>(emulator.adapters.size());
    Adapter &adapter = emulator.adapters.emplace_back();
    adapter.enumerationRank = number;
    ApplyNaming(adapter, sim::NamingFor(number));
    if (preset != nullptr) preset->apply(*adapter.supply);
    return number;
}

Emulator &State() {
    static Emulator *emulator = [] {
        auto *created = new Emulator;
        if (const char *socket = std::getenv(sim::kSharedSuppliesSocketVariable)) {
            created->sharedSupplies = std::make_unique<sim::SharedSuppliesClient>(socket);
        } else {
            PlugConfiguredSupplies(*created);
        }
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

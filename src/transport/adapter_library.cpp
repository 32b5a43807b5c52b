#include "transport/adapter_library.h"

#include <type_traits>

#include "platform/dynamic_library.h"

namespace {

// Process-wide and never destroyed: it has no destructor for the exit to run, and the module it
// points into is never unloaded.
AdapterEntryPoints entryPoints;
static_assert(std::is_trivially_destructible_v<AdapterEntryPoints>);

struct EntryPointRow {
    const char *name;
    void **slot;
    bool required;
};

template <class Fn>
void **SlotOf(Fn &member) {
    return reinterpret_cast<void **>(&member);
}

}  // namespace

AdapterBinding BindAdapterLibrary() {
    AdapterBinding binding;
    void *module = LoadSharedLibrary("MavoFTCI2C");
    if (module == nullptr) return binding;
    binding.moduleLoaded = true;

    AdapterEntryPoints &e = entryPoints;
    const EntryPointRow rows[] = {
        {"I2C_GetNumDevices", SlotOf(e.I2C_GetNumDevices), true},
        {"I2C_GetDeviceNameLocID", SlotOf(e.I2C_GetDeviceNameLocID), true},
        {"I2C_OpenEx", SlotOf(e.I2C_OpenEx), true},
        {"I2C_Open", SlotOf(e.I2C_Open), true},
        {"I2C_Close", SlotOf(e.I2C_Close), true},
        {"I2C_InitDevice", SlotOf(e.I2C_InitDevice), true},
        {"I2C_GetClock", SlotOf(e.I2C_GetClock), true},
        {"I2C_SetClock", SlotOf(e.I2C_SetClock), true},
        {"I2C_SetLoopback", SlotOf(e.I2C_SetLoopback), true},
        {"I2C_Write", SlotOf(e.I2C_Write), true},
        {"I2C_Read", SlotOf(e.I2C_Read), true},
        {"I2C_GetDllVersion", SlotOf(e.I2C_GetDllVersion), true},
        {"I2C_GetErrorCodeString", SlotOf(e.I2C_GetErrorCodeString), true},
        {"I2C_SetMode", SlotOf(e.I2C_SetMode), true},
        {"I2C_ReadAlt", SlotOf(e.I2C_ReadAlt), true},
        {"I2C_GetDeviceNameSerialNumber", SlotOf(e.I2C_GetDeviceNameSerialNumber), false},
        {"I2C_OpenExSerialNumber", SlotOf(e.I2C_OpenExSerialNumber), false},
    };
    binding.serialNumberApi = true;
    for (const EntryPointRow &row : rows) {
        *row.slot = FindEntryPoint(module, row.name);
        if (*row.slot != nullptr) continue;
        if (row.required) {
            binding.requiredMissing = true;
        } else {
            binding.serialNumberApi = false;
        }
    }
    return binding;
}

const AdapterEntryPoints &Adapter() { return entryPoints; }


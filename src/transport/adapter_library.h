// The binding to the adapter library: its module, loaded by plain name, and its entry points,
// resolved in a fixed order. The last two are optional (adapters named by serial number).
#pragma once

#include "transport/adapter_entry_points.h"

struct AdapterEntryPoints {
#define MAVOFTCI2C_DECLARE_MEMBER(name, result, params) name##Fn name = nullptr;
    MAVOFTCI2C_ENTRY_POINTS(MAVOFTCI2C_DECLARE_MEMBER)
#undef MAVOFTCI2C_DECLARE_MEMBER
};

struct AdapterBinding {
    bool moduleLoaded = false;      // the module was found and loaded
    bool requiredMissing = false;   // at least one required entry point is absent
    bool serialNumberApi = false;   // both optional entry points are present
};

// Loads the module and resolves every entry point into the process-wide table, looking up all of
// them even after one is missing.
AdapterBinding BindAdapterLibrary();

// The resolved entry points; valid after a binding that loaded the module without a missing one.
const AdapterEntryPoints &Adapter();


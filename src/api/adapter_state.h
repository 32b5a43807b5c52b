// Loading the adapter library on first need, and the check every adapter path runs first.
#pragma once

#include <cstdint>

struct AdapterLibraryState {
    bool libraryLoaded = false;      // the module was loaded (also when an entry point is missing)
    bool libraryLoadFailed = false;  // the last attempt could not load the module
    bool entryPointMissing = false;  // a required entry point is absent: -101 for good
    bool serialNumberApi = false;    // adapters are named by serial number instead of location
};

const AdapterLibraryState &AdapterLibraryStatus();

// 0, -100 (not loadable) or -101 (a required entry point is missing).
int32_t LoadAdapterLibrary();

// Loads the library if it is not loaded yet; 0 when its entry points can be called.
int32_t CheckAdapterLibrary();

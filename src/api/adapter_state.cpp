#include "api/adapter_state.h"

#include <type_traits>

#include "MavoZARP.h"
#include "transport/adapter_library.h"

namespace {
// Process-wide and never destroyed: it has no destructor for the exit to run.
AdapterLibraryState state;
static_assert(std::is_trivially_destructible_v<AdapterLibraryState>);
}

const AdapterLibraryState &AdapterLibraryStatus() { return state; }

int32_t LoadAdapterLibrary() {
    state.serialNumberApi = true;
    state.libraryLoadFailed = false;
    state.entryPointMissing = false;
    const AdapterBinding binding = BindAdapterLibrary();
    if (!binding.moduleLoaded) {
        state.libraryLoadFailed = true;
        return MAVOZARP_STATUS_ADAPTER_NOT_LOADED;
    }
    state.libraryLoaded = true;
    state.entryPointMissing = binding.requiredMissing;
    state.serialNumberApi = binding.serialNumberApi;
    return binding.requiredMissing ? MAVOZARP_STATUS_ADAPTER_INCOMPLETE : MAVOZARP_STATUS_SUCCESS;
}

int32_t CheckAdapterLibrary() {
    if (!state.libraryLoaded) {
        const int32_t status = LoadAdapterLibrary();
        if (status != MAVOZARP_STATUS_SUCCESS) return status;
    }
    if (state.libraryLoadFailed) return MAVOZARP_STATUS_ADAPTER_NOT_LOADED;
    if (state.entryPointMissing) return MAVOZARP_STATUS_ADAPTER_INCOMPLETE;
    return MAVOZARP_STATUS_SUCCESS;
}

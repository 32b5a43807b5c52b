#include "client/adapter_listing.h"

#include <cstdint>

#include "client/loaded_adapter_library.h"
#include "src/transport/adapter_entry_points.h"

namespace {

template <class Function>
Function EntryPoint(const char *name) {
    return reinterpret_cast<Function>(LoadedAdapterLibrarySymbol(name));
}

}  // namespace

std::optional<std::string> AdapterListingProblem() {
    const auto count = EntryPoint<I2C_GetNumDevicesFn>("I2C_GetNumDevices");
    const auto describe = EntryPoint<I2C_GetErrorCodeStringFn>("I2C_GetErrorCodeString");
    if (count == nullptr || describe == nullptr) return std::nullopt;
    try {
        uint32_t adapters = 0;
        const uint32_t status = count(&adapters);
        if (status == 0) return std::nullopt;
        char language[] = "en";
        char text[256] = {};
        if (describe(language, status, text, sizeof text) != 0) text[0] = '\0';
        text[sizeof text - 1] = '\0';
        return "the adapter library cannot list its adapters: " +
               std::string(text[0] != '\0' ? text : "it gives no reason") +
               " (adapter library status " + std::to_string(status) + ")";
    } catch (...) {
        return std::nullopt;  // a library that raises instead of answering tells nothing more
    }
}

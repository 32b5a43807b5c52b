#include "client/loaded_adapter_library.h"

#include <windows.h>

void *LoadedAdapterLibrarySymbol(const char *name) {
    // GetModuleHandle finds the module the library loaded and loads nothing.
    const HMODULE module = GetModuleHandleA("MavoFTCI2C.DLL");
    if (module == nullptr) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(module, name));
}

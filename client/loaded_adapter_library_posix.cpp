#include "client/loaded_adapter_library.h"

#include <dlfcn.h>

void *LoadedAdapterLibrarySymbol(const char *name) {
    // RTLD_NOLOAD: the module the library loaded, or nothing.
    void *module = dlopen("libMavoFTCI2C.so", RTLD_NOW | RTLD_NOLOAD);
    if (module == nullptr) return nullptr;
    void *symbol = dlsym(module, name);
    dlclose(module);  // the library's own reference keeps it loaded
    return symbol;
}

#include "support/adapter_library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

namespace {
void *loaded = nullptr;
}

void *UseEmulatedAdapter(EmulatedAdapter variant) {
    static const char *const kPaths[] = {EMULATED_ADAPTER_PATH,
                                         EMULATED_ADAPTER_WITHOUT_SERIAL_NUMBER_PATH,
                                         EMULATED_ADAPTER_WITHOUT_LOOPBACK_PATH};
    loaded = dlopen(kPaths[static_cast<int>(variant)], RTLD_NOW | RTLD_GLOBAL);
    EXPECT_NE(loaded, nullptr) << dlerror();
    return loaded;
}

void *EmulatedAdapterModule() { return loaded; }

void *EmulatedAdapterSymbol(const char *name) {
    void *symbol = loaded == nullptr ? nullptr : dlsym(loaded, name);
    EXPECT_NE(symbol, nullptr) << name;
    return symbol;
}

#include <dlfcn.h>

#include <string>

#include "platform/dynamic_library.h"

void *LoadSharedLibrary(const char *baseName) {
    const std::string fileName = std::string("lib") + baseName + ".so";
    return dlopen(fileName.c_str(), RTLD_NOW);
}

void *FindEntryPoint(void *library, const char *name) { return dlsym(library, name); }

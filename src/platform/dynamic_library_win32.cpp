#include <windows.h>

#include <string>

#include "platform/dynamic_library.h"

void *LoadSharedLibrary(const char *baseName) {
    const std::string fileName = std::string(baseName) + ".DLL";
    return reinterpret_cast<void *>(LoadLibraryA(fileName.c_str()));
}

void *FindEntryPoint(void *library, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

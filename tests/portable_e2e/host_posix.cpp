// The Linux host: the library and the emulated adapter library come through the library search
// path (LD_LIBRARY_PATH), by the names a host program and the library use: the library's soname
// (MAVOZARP_LIBRARY_SONAME, from the build), and the adapter library's plain name.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "host.h"

namespace e2e {

bool LoadLibraryUnderTest(std::span<const ExportName> exports, std::span<void *> addresses,
                          std::string &problem) {
    void *library = dlopen(MAVOZARP_LIBRARY_SONAME, RTLD_NOW);
    if (library == nullptr) {
        problem = std::string("dlopen(" MAVOZARP_LIBRARY_SONAME "): ") + dlerror();
        return false;
    }
    for (size_t i = 0; i < exports.size(); ++i) {
        addresses[i] = dlsym(library, exports[i].name);
        if (addresses[i] == nullptr) {
            problem = std::string(MAVOZARP_LIBRARY_SONAME " does not export ") + exports[i].name;
            return false;
        }
    }
    return true;
}

void *EmulatedAdapterEntryPoint(const char *name) {
    static void *const adapter = dlopen("libMavoFTCI2C.so", RTLD_NOW);
    return adapter == nullptr ? nullptr : dlsym(adapter, name);
}

int RedirectStandardOutput(const char *path) {
    std::fflush(stdout);
    const int file = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file < 0) return -1;
    const int saved = dup(STDOUT_FILENO);
    dup2(file, STDOUT_FILENO);
    close(file);
    return saved;
}

void RestoreStandardOutput(int saved) {
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
}

}  // namespace e2e

// The Windows host: MavoZARP.dll and the emulated MavoFTCI2C.DLL are found beside the host by
// their plain names, as Windows searches the program's own folder first. Every export is looked
// up by name and by ordinal; a host may use either, so both must lead to the same function.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdio>

#include "host.h"

namespace e2e {

namespace {

void *Address(FARPROC procedure) { return reinterpret_cast<void *>(procedure); }

}  // namespace

bool LoadLibraryUnderTest(std::span<const ExportName> exports, std::span<void *> addresses,
                          std::string &problem) {
    const HMODULE library = LoadLibraryA("MavoZARP.dll");
    if (library == nullptr) {
        problem = "LoadLibraryA(MavoZARP.dll) failed, error " + std::to_string(GetLastError());
        return false;
    }
    for (size_t i = 0; i < exports.size(); ++i) {
        void *const byName = Address(GetProcAddress(library, exports[i].name));
        void *const byOrdinal = Address(GetProcAddress(
            library, MAKEINTRESOURCEA(static_cast<WORD>(exports[i].ordinal))));
        if (byName == nullptr || byName != byOrdinal) {
            problem = std::string(exports[i].name) + ": by name " +
                      (byName ? "found" : "missing") + ", ordinal " +
                      std::to_string(exports[i].ordinal) + " " +
                      (byOrdinal == nullptr ? "missing" : byOrdinal == byName ? "the same"
                                                                              : "another function");
            return false;
        }
        addresses[i] = byName;
    }
    return true;
}

void *EmulatedAdapterEntryPoint(const char *name) {
    static const HMODULE adapter = LoadLibraryA("MavoFTCI2C.DLL");
    return adapter == nullptr ? nullptr : Address(GetProcAddress(adapter, name));
}

int RedirectStandardOutput(const char *path) {
    std::fflush(stdout);
    const int file = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
    if (file < 0) return -1;
    const int saved = _dup(1);
    _dup2(file, 1);
    _close(file);
    return saved;
}

void RestoreStandardOutput(int saved) {
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
}

}  // namespace e2e

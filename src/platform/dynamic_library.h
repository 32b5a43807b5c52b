// Loading a shared library by its plain name, with the system's usual search, and finding its
// entry points.
#pragma once

// `baseName` without prefix or suffix: "MavoFTCI2C" loads MavoFTCI2C.DLL on Windows and
// libMavoFTCI2C.so elsewhere. Null when it cannot be loaded. The library is never unloaded.
void *LoadSharedLibrary(const char *baseName);

// Null when the library has no such entry point.
void *FindEntryPoint(void *library, const char *name);

// The adapter library as this process has it: loaded by the library, by its plain name, at the
// first discovery. Looked up only; never loaded from here.
#pragma once

// The address of an entry point of the loaded adapter library; null when the library is not
// loaded or lacks the entry point.
void *LoadedAdapterLibrarySymbol(const char *name);

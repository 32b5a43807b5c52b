// Choosing which emulated adapter library the library under test finds. The library loads
// "libMavoFTCI2C.so" by plain name; a module with that name already loaded is what it gets, so a
// test loads the variant it wants by path first. Without that, no adapter library is found.
#pragma once

enum class EmulatedAdapter { Complete, WithoutSerialNumber, WithoutLoopback };

// Loads the variant by path and keeps it loaded for the rest of the test process.
void *UseEmulatedAdapter(EmulatedAdapter variant = EmulatedAdapter::Complete);

// The variant loaded by UseEmulatedAdapter, or null.
void *EmulatedAdapterModule();

// An entry point of the loaded emulated adapter library (its test controls).
void *EmulatedAdapterSymbol(const char *name);

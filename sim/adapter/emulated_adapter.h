// Test controls of the emulated adapter library: extra entry points beside the adapter library's
// own, reached by tests through dlsym (or GetProcAddress). They take the name of the entry point
// they act on ("I2C_Read", ...).
#pragma once

#include <cstdint>

#include "MavoZARP.h"

#if defined(_WIN32)
#define EMULATED_ADAPTER_EXPORT __declspec(dllexport)
#else
#define EMULATED_ADAPTER_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// Forgets every control and count: the state of a freshly loaded library.
EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_Reset();

// The text I2C_GetDllVersion gives (cut to the caller's size, terminated when it fits).
EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_SetVersion(const char *text);

// The next `count` calls of the entry point return `status` instead of doing their work.
EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_FailNext(const char *entryPoint,
                                                                    uint32_t count, uint32_t status);

// The next `count` calls of the entry point raise a C++ exception instead of returning.
EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_ThrowNext(const char *entryPoint,
                                                                     uint32_t count);

// How often the entry point was called since the last reset.
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_CallCount(const char *entryPoint);

}  // extern "C"

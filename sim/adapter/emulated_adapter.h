// Test controls of the emulated adapter library: extra entry points beside the adapter library's
// own, reached by tests through dlsym (or GetProcAddress). They take the name of the entry point
// they act on ("I2C_Read", ...).
#pragma once

#include <cstdint>

#include "MavoZARP.h"
#include "transport/adapter_entry_points.h"

#if defined(_WIN32)
#define EMULATED_ADAPTER_EXPORT __declspec(dllexport)
#else
#define EMULATED_ADAPTER_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// Forgets every control, count, supply and logged transfer: the state of a freshly loaded
// library.
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

// A new virtual supply and the adapter handle that reaches it (never 0 or all bits set). Reset
// removes every supply.
EMULATED_ADAPTER_EXPORT AdapterHandle MAVOZARP_CALL EmulatedAdapter_AddSupply();

// The sim::VirtualSupply behind a handle, for a test in the same process; null for an unknown
// handle.
EMULATED_ADAPTER_EXPORT void *MAVOZARP_CALL EmulatedAdapter_Supply(AdapterHandle handle);

// One transfer as the adapter saw it: a call of I2C_Read, I2C_ReadAlt or I2C_Write that was not
// answered by FailNext or ThrowNext. Counts are those passed; the bytes are the first ones of the
// control and of the data (read: the data given back, none when refused; write: the data given).
struct EmulatedTransfer {
    char entryPoint[24];
    AdapterHandle handle;
    uint32_t status;
    uint32_t controlCount;
    uint8_t control[8];
    uint32_t dataCount;
    uint8_t data[16];
};

// Transfers since the last reset, and one of them by number (0 the oldest). GetTransfer returns
// 0, or -1 when there is no such transfer.
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_TransferCount();
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL
EmulatedAdapter_GetTransfer(uint32_t index, EmulatedTransfer *transfer);

}  // extern "C"

// The test controls' types, for tests that look them up by name.
using EmulatedAdapter_ResetFn = void(MAVOZARP_CALL *)();
using EmulatedAdapter_FailNextFn = void(MAVOZARP_CALL *)(const char *, uint32_t, uint32_t);
using EmulatedAdapter_ThrowNextFn = void(MAVOZARP_CALL *)(const char *, uint32_t);
using EmulatedAdapter_CallCountFn = uint32_t(MAVOZARP_CALL *)(const char *);
using EmulatedAdapter_AddSupplyFn = AdapterHandle(MAVOZARP_CALL *)();
using EmulatedAdapter_SupplyFn = void *(MAVOZARP_CALL *)(AdapterHandle);
using EmulatedAdapter_TransferCountFn = uint32_t(MAVOZARP_CALL *)();
using EmulatedAdapter_GetTransferFn = int32_t(MAVOZARP_CALL *)(uint32_t, EmulatedTransfer *);

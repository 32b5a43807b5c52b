// Test controls of the emulated adapter library: extra entry points beside the adapter library's
// own, reached by tests through dlsym (or GetProcAddress). Those that act on an entry point take
// its name ("I2C_Read", ...).
//
// Every virtual supply sits behind an adapter of its own. Adapters are numbered from 0 in the
// order they were plugged since the last reset, and keep that number; their index in the
// enumeration (I2C_GetNumDevices, I2C_GetDeviceName...) counts only the adapters plugged at the
// time. An adapter is opened by its description with its serial number or its location; a second
// open while it is open is refused. Handles are never 0, never all bits set (unless a test asks
// for exactly that) and never given twice in one process. Unplugging leaves an open handle
// dead: I2C_InitDevice and transfers on it fail, I2C_Close releases it.
//
// Host programs without these controls get supplies from the environment variable
// MAVOFTCI2C_EMULATED_SUPPLIES, read once at the library's first use (syntax in
// bus/adapter_supply_list.h): "kora-band1,picox-640@serial=ABC". A bad entry is named in one
// line on standard error and left out. EmulatedAdapter_Reset forgets those supplies too and does
// not read the variable again, so a test starts from no supplies whatever the shell set.
//
// When MAVOFTCI2C_EMULATED_SOCKET names the socket of a running mavozarp-sim, the adapters are
// the launcher's instead (remote/shared_supplies.h): taken over at every enumeration, their
// transfers done there, so every process sees the same supplies. Handles stay per process.
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

// Forgets every control, count, adapter and logged call and transfer: the state of a freshly
// loaded library run without the environment variable. Handles given before stay unused.
EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_Reset();

// The text I2C_GetDllVersion gives (cut to the caller's size, terminated when it fits).
EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_SetVersion(const char *text);

// The next `count` calls of the entry point return `status` instead of doing their work.
EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_FailNext(const char *entryPoint,
                                                                    uint32_t count,
                                                                    uint32_t status);

// The next `count` calls of the entry point raise a C++ exception instead of returning.
EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_ThrowNext(const char *entryPoint,
                                                                     uint32_t count);

// Failures placed on the stream of transfers (I2C_Read, I2C_ReadAlt and I2C_Write, on any
// handle): the next `skip` transfers pass, then the next `count` return `status`
// (FailTransferAfter) or raise a C++ exception (ThrowTransferAfter) instead of doing their work.
// A transfer that FailNext or ThrowNext answers does not count, so `skip` is the number of
// transfers logged before the first failure. Setting either replaces what was set before.
EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_FailTransferAfter(uint32_t skip,
                                                                             uint32_t count,
                                                                             uint32_t status);
EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_ThrowTransferAfter(uint32_t skip,
                                                                              uint32_t count);

// How often the entry point was called since the last reset.
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_CallCount(const char *entryPoint);

// A new virtual supply with empty memories on an adapter that is plugged and already open, and
// the handle that reaches it. Reset removes every supply.
EMULATED_ADAPTER_EXPORT AdapterHandle MAVOZARP_CALL EmulatedAdapter_AddSupply();

// The sim::VirtualSupply behind a handle (also one closed or dead since), for a test in the same
// process; null for a handle never given.
EMULATED_ADAPTER_EXPORT void *MAVOZARP_CALL EmulatedAdapter_Supply(AdapterHandle handle);

// ---- adapters for discovery ---------------------------------------------------------------------

// What an adapter number control answers for an adapter that does not exist.
#define EMULATED_ADAPTER_NONE 0xFFFFFFFFu

// Plugs a new adapter, not open, with a virtual supply that has the head preset applied (no
// preset for null or ""). Named "ZARP Power Supply A" with a serial number and a location of its
// own. Returns its number, or EMULATED_ADAPTER_NONE for an unknown preset.
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_PlugSupply(const char *preset);

// Unplugs (0) or plugs back (non-zero) an adapter. A handle that was open when it left stays dead
// after it comes back; the adapter can be opened anew. 0, or -1 for an unknown adapter.
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL EmulatedAdapter_SetPlugged(uint32_t adapter,
                                                                         int32_t plugged);

// The levels driven onto the input pins of a port of an I/O expander of the adapter's supply (a
// switch or an interlock changing while a host talks to the supply), taken in turn with the
// transfers. 0, or -1 for an unknown adapter, expander or port.
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL EmulatedAdapter_SetExternalLevels(uint32_t adapter,
                                                                                uint32_t expander,
                                                                                uint32_t port,
                                                                                uint32_t levels);

// The adapter is enumerated before every other from now on, as after a re-enumeration of the
// USB bus. 0, or -1 for an unknown adapter.
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL EmulatedAdapter_EnumerateFirst(uint32_t adapter);

// How an adapter names itself in the enumeration; the texts are terminated.
struct EmulatedAdapterNaming {
    char description[100];
    char serialNumber[100];
    uint32_t location;
};

// 0, or -1 for an unknown adapter or a null naming. Set cuts texts to 99 characters.
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL
EmulatedAdapter_GetNaming(uint32_t adapter, EmulatedAdapterNaming *naming);
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL
EmulatedAdapter_SetNaming(uint32_t adapter, const EmulatedAdapterNaming *naming);

// The steps of discovery that can fail for one adapter.
enum EmulatedAdapterStep : uint32_t {
    EmulatedAdapterNamingStep = 0,        // I2C_GetDeviceNameSerialNumber, I2C_GetDeviceNameLocID
    EmulatedAdapterOpeningStep = 1,       // I2C_OpenExSerialNumber, I2C_OpenEx
    EmulatedAdapterInitialisingStep = 2,  // I2C_InitDevice
    EmulatedAdapterModeStep = 3,          // I2C_SetMode
};

// The next `count` calls of that step for the adapter return `status` (non-zero) instead of
// doing their work; an open that fails gives no handle. 0, or -1 for an unknown adapter or step.
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL EmulatedAdapter_FailStep(uint32_t adapter,
                                                                       uint32_t step,
                                                                       uint32_t count,
                                                                       uint32_t status);

// The next successful open of the adapter gives exactly this handle (all bits set, or one that
// fits 32 bits), to test how a host treats it. 0, or -1 for an unknown adapter or handle 0.
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL
EmulatedAdapter_SetNextOpenHandle(uint32_t adapter, AdapterHandle handle);

// The handle under which the adapter is open now, 0 when it is not.
EMULATED_ADAPTER_EXPORT AdapterHandle MAVOZARP_CALL EmulatedAdapter_OpenHandle(uint32_t adapter);

// The sim::VirtualSupply of an adapter; null for an unknown adapter.
EMULATED_ADAPTER_EXPORT void *MAVOZARP_CALL EmulatedAdapter_AdapterSupply(uint32_t adapter);

// One call of an adapter library entry point, whatever answered it. `handle` is the handle
// passed, or for an open the handle given back (0 when none); `argument` the enumeration index
// of a naming call, the location of I2C_OpenEx, the clock divisor of I2C_InitDevice, the mode of
// I2C_SetMode, the data count of a transfer, else 0. `raised` is 1 when the call raised instead
// of returning `status`.
struct EmulatedCall {
    char entryPoint[32];
    AdapterHandle handle;
    uint32_t argument;
    uint32_t status;
    int32_t raised;
};

// Calls since the last reset, and one of them by number (0 the oldest). GetCall returns 0, or -1
// when there is no such call. Only the newest 65536 calls are kept: older numbers give -1 (the
// count still counts them), so a long run does not grow the log without end.
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_CallLogCount();
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL EmulatedAdapter_GetCall(uint32_t index,
                                                                      EmulatedCall *call);

// One transfer as the adapter saw it: a call of I2C_Read, I2C_ReadAlt or I2C_Write that was not
// answered by FailNext, ThrowNext or a scheduled transfer failure. Counts are those passed; the
// bytes are the first ones of the control and of the data (read: the data given back, none when
// refused; write: the data given).
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
// 0, or -1 when there is no such transfer. As with calls, only the newest 65536 are kept.
EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_TransferCount();
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL
EmulatedAdapter_GetTransfer(uint32_t index, EmulatedTransfer *transfer);

}  // extern "C"

// The test controls' types, for tests that look them up by name.
using EmulatedAdapter_ResetFn = void(MAVOZARP_CALL *)();
using EmulatedAdapter_FailNextFn = void(MAVOZARP_CALL *)(const char *, uint32_t, uint32_t);
using EmulatedAdapter_ThrowNextFn = void(MAVOZARP_CALL *)(const char *, uint32_t);
using EmulatedAdapter_FailTransferAfterFn = void(MAVOZARP_CALL *)(uint32_t, uint32_t, uint32_t);
using EmulatedAdapter_ThrowTransferAfterFn = void(MAVOZARP_CALL *)(uint32_t, uint32_t);
using EmulatedAdapter_CallCountFn = uint32_t(MAVOZARP_CALL *)(const char *);
using EmulatedAdapter_AddSupplyFn = AdapterHandle(MAVOZARP_CALL *)();
using EmulatedAdapter_SupplyFn = void *(MAVOZARP_CALL *)(AdapterHandle);
using EmulatedAdapter_TransferCountFn = uint32_t(MAVOZARP_CALL *)();
using EmulatedAdapter_GetTransferFn = int32_t(MAVOZARP_CALL *)(uint32_t, EmulatedTransfer *);
using EmulatedAdapter_PlugSupplyFn = uint32_t(MAVOZARP_CALL *)(const char *);
using EmulatedAdapter_SetPluggedFn = int32_t(MAVOZARP_CALL *)(uint32_t, int32_t);
using EmulatedAdapter_EnumerateFirstFn = int32_t(MAVOZARP_CALL *)(uint32_t);
using EmulatedAdapter_SetExternalLevelsFn = int32_t(MAVOZARP_CALL *)(uint32_t, uint32_t, uint32_t,
                                                                     uint32_t);
using EmulatedAdapter_GetNamingFn = int32_t(MAVOZARP_CALL *)(uint32_t, EmulatedAdapterNaming *);
using EmulatedAdapter_SetNamingFn = int32_t(MAVOZARP_CALL *)(uint32_t,
                                                             const EmulatedAdapterNaming *);
using EmulatedAdapter_FailStepFn = int32_t(MAVOZARP_CALL *)(uint32_t, uint32_t, uint32_t, uint32_t);
using EmulatedAdapter_SetNextOpenHandleFn = int32_t(MAVOZARP_CALL *)(uint32_t, AdapterHandle);
using EmulatedAdapter_OpenHandleFn = AdapterHandle(MAVOZARP_CALL *)(uint32_t);
using EmulatedAdapter_AdapterSupplyFn = void *(MAVOZARP_CALL *)(uint32_t);
using EmulatedAdapter_CallLogCountFn = uint32_t(MAVOZARP_CALL *)();
using EmulatedAdapter_GetCallFn = int32_t(MAVOZARP_CALL *)(uint32_t, EmulatedCall *);

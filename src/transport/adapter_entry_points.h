// The entry points of the I2C adapter library, "MavoFTCI2C": the prototypes both this library and
// the emulated adapter library are built against. Status 0 is success.
#pragma once

#include <cstdint>

#include "MavoZARP.h"  // MAVOZARP_CALL: the adapter library uses the system's standard convention

// Pointer-sized; zeroed before every open call, because the library may write its low 32 bits
// only.
using AdapterHandle = uintptr_t;

struct PageWriteRecord {
    uint32_t pages;
    uint32_t bytesPerPage;
};

#define MAVOFTCI2C_ENTRY_POINTS(X)                                                                \
    X(I2C_GetNumDevices, uint32_t, (uint32_t * count))                                            \
    X(I2C_GetDeviceNameLocID, uint32_t,                                                           \
      (uint32_t index, char *name, uint32_t nameSize, uint32_t *locationId))                      \
    X(I2C_OpenEx, uint32_t, (char *name, uint32_t locationId, AdapterHandle *handle))             \
    X(I2C_Open, uint32_t, (AdapterHandle * handle))                                               \
    X(I2C_Close, uint32_t, (AdapterHandle handle))                                                \
    X(I2C_InitDevice, uint32_t, (AdapterHandle handle, uint32_t clockDivisor))                    \
    X(I2C_GetClock, uint32_t, (uint32_t clockDivisor, uint32_t * frequencyHz))                    \
    X(I2C_SetClock, uint32_t, (AdapterHandle handle, uint32_t clockDivisor, uint32_t *frequencyHz)) \
    X(I2C_SetLoopback, uint32_t, (AdapterHandle handle, int32_t loopback))                        \
    X(I2C_Write, uint32_t,                                                                        \
      (AdapterHandle handle, uint8_t *control, uint32_t controlCount, int32_t controlAck,         \
       uint32_t controlAckTimeoutMs, int32_t stopCondition, uint32_t writeType, uint8_t *data,    \
       uint32_t dataCount, int32_t dataAck, uint32_t dataAckTimeoutMs, PageWriteRecord *page))    \
    X(I2C_Read, uint32_t,                                                                         \
      (AdapterHandle handle, uint8_t *control, uint32_t controlCount, int32_t controlAck,         \
       uint32_t controlAckTimeoutMs, uint32_t readType, uint8_t *data, uint32_t dataCount))       \
    X(I2C_GetDllVersion, uint32_t, (char *text, uint32_t size))                                   \
    X(I2C_GetErrorCodeString, uint32_t,                                                           \
      (char *language, uint32_t status, char *text, uint32_t size))                               \
    X(I2C_SetMode, uint32_t, (AdapterHandle handle, uint32_t mode))                               \
    X(I2C_ReadAlt, uint32_t,                                                                      \
      (AdapterHandle handle, uint8_t *control, uint32_t controlCount, int32_t controlAck,         \
       uint32_t controlAckTimeoutMs, uint32_t readType, uint8_t *data, uint32_t dataCount))       \
    X(I2C_GetDeviceNameSerialNumber, uint32_t,                                                    \
      (uint32_t index, char *name, uint32_t nameSize, char *serial))                              \
    X(I2C_OpenExSerialNumber, uint32_t, (char *name, char *serial, AdapterHandle *handle))

// One function pointer type per entry point: I2C_ReadFn and so on.
#define MAVOFTCI2C_DECLARE_TYPE(name, result, params) using name##Fn = result(MAVOZARP_CALL *) params;
MAVOFTCI2C_ENTRY_POINTS(MAVOFTCI2C_DECLARE_TYPE)
#undef MAVOFTCI2C_DECLARE_TYPE

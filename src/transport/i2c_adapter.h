// Register transfers over the adapter library: five attempts each, the adapter's failures raised
// as "I2C error", an exception out of the library as "FTCI2C exception".
#pragma once

#include <cstdint>

#include "transport/adapter_entry_points.h"

// The adapter transport of a device: the handle discovery opened.
struct AdapterTransport {
    AdapterHandle handle = 0;
    friend bool operator==(const AdapterTransport &, const AdapterTransport &) = default;
};

namespace I2cAdapter {

// `alternative` uses the library's alternative read entry point.
uint32_t Read(AdapterHandle handle, uint8_t address, uint16_t command,
              uint8_t commandNumberOfBytes, uint8_t dataNumberOfBytes, bool alternative);
// Data go most significant byte first.
void Write(AdapterHandle handle, uint8_t address, uint16_t command, uint8_t commandNumberOfBytes,
           uint32_t data, uint8_t dataNumberOfBytes);

}  // namespace I2cAdapter

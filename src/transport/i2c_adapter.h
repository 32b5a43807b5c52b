// Register transfers over the adapter library: five attempts each, the adapter's failures raised
// as "I2C error", an exception out of the library as "FTCI2C exception".
#pragma once

#include <cstdint>

#include "transport/adapter_entry_points.h"

// An adapter that discovery opened: the library's handle of it, and whether the host has closed
// it since. A transfer on a closed adapter fails as on a dead one, without calling the library.
struct OpenedAdapter {
    AdapterHandle handle = 0;
    bool closed = false;
};

// The adapter transport of a device: the adapter its device owns, which outlives the transport.
struct AdapterTransport {
    const OpenedAdapter *adapter = nullptr;
    friend bool operator==(const AdapterTransport &, const AdapterTransport &) = default;
};

namespace I2cAdapter {

// `alternative` uses the library's alternative read entry point.
uint32_t Read(const OpenedAdapter &adapter, uint8_t address, uint16_t command,
              uint8_t commandNumberOfBytes, uint8_t dataNumberOfBytes, bool alternative);
// Data go most significant byte first.
void Write(const OpenedAdapter &adapter, uint8_t address, uint16_t command,
           uint8_t commandNumberOfBytes, uint32_t data, uint8_t dataNumberOfBytes);

}  // namespace I2cAdapter

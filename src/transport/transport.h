// The bus a device's head reaches its parts through. Each device owns one, and its head and every
// register descriptor of the head carry a copy: the adapter library with the device's adapter, a
// bridge on the device's serial line, or no bus at all (the simulated head: reads give 0, writes
// do nothing). The copies point at what the device owns, so they never outlive the device.
#pragma once

#include <cstdint>
#include <variant>

#include "transport/i2c_adapter.h"
#include "transport/nxp_bridge.h"

struct NullTransport {
    friend bool operator==(const NullTransport &, const NullTransport &) = default;
};

using Transport = std::variant<NullTransport, AdapterTransport, NXP::Bridge>;

// One register transfer on the transport.
uint32_t TransportRead(const Transport &transport, uint8_t address, uint16_t command,
                       uint8_t commandNumberOfBytes, uint8_t dataNumberOfBytes, bool alternative);
void TransportWrite(const Transport &transport, uint8_t address, uint16_t command,
                    uint8_t commandNumberOfBytes, uint32_t data, uint8_t dataNumberOfBytes);

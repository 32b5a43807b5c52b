// The emulated adapter library's test controls, typed: virtual supplies behind adapter handles,
// scripted failures, call counts and the log of transfers. Loads the complete variant on first
// use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "adapter/emulated_adapter.h"
#include "bus/virtual_supply.h"

namespace emulated_adapter {

void Reset();
AdapterHandle AddSupply();
sim::VirtualSupply &Supply(AdapterHandle handle);
void FailNext(const char *entryPoint, uint32_t count, uint32_t status = 1);
void ThrowNext(const char *entryPoint, uint32_t count);
// The next `skip` transfers (reads and writes on any handle) pass, the next `count` fail with
// `status` or raise.
void FailTransferAfter(uint32_t skip, uint32_t count, uint32_t status = 1);
void ThrowTransferAfter(uint32_t skip, uint32_t count);
uint32_t CallCount(const char *entryPoint);
std::vector<EmulatedTransfer> Transfers();

// Adapters for discovery, by adapter number (0 the first plugged since the reset). The controls
// throw std::out_of_range for an adapter that does not exist.

// A new adapter, plugged and not open, whose supply carries the head preset ("" for none).
// Throws std::invalid_argument for an unknown preset.
uint32_t PlugSupply(const std::string &preset = "");
void SetPlugged(uint32_t adapter, bool plugged);
// The levels on the input pins of a port of an I/O expander of the adapter's supply, set in turn
// with the transfers a host makes meanwhile.
void SetExternalLevels(uint32_t adapter, uint8_t expander, uint8_t port, uint8_t levels);
// The adapter is enumerated before every other from now on.
void EnumerateFirst(uint32_t adapter);

struct AdapterNaming {
    std::string description;
    std::string serialNumber;
    uint32_t location = 0;
};
AdapterNaming Naming(uint32_t adapter);
void SetNaming(uint32_t adapter, const AdapterNaming &naming);

// The next `count` calls of the step for the adapter fail with `status`.
void FailStep(uint32_t adapter, EmulatedAdapterStep step, uint32_t count, uint32_t status = 1);
void SetNextOpenHandle(uint32_t adapter, AdapterHandle handle);
// 0 when the adapter is not open.
AdapterHandle OpenHandle(uint32_t adapter);
sim::VirtualSupply &AdapterSupply(uint32_t adapter);

// Every call of an adapter library entry point since the reset, oldest first.
std::vector<EmulatedCall> Calls();

}  // namespace emulated_adapter

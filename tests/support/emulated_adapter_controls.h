// The emulated adapter library's test controls, typed: virtual supplies behind adapter handles,
// scripted failures, call counts and the log of transfers. Loads the complete variant on first
// use.
#pragma once

#include <cstdint>
#include <vector>

#include "adapter/emulated_adapter.h"
#include "bus/virtual_supply.h"

namespace emulated_adapter {

void Reset();
AdapterHandle AddSupply();
sim::VirtualSupply &Supply(AdapterHandle handle);
void FailNext(const char *entryPoint, uint32_t count, uint32_t status = 1);
void ThrowNext(const char *entryPoint, uint32_t count);
uint32_t CallCount(const char *entryPoint);
std::vector<EmulatedTransfer> Transfers();

}  // namespace emulated_adapter

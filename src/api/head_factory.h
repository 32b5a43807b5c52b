// Creating the head model that matches the head attached to a supply.
#pragma once

#include <cstdint>

#include "api/device_tables.h"

// Reads the head's type through the slot's transport and gives the slot its head model (or keeps
// the one it has). Writes the type text into `headType` (100 bytes) and the two diagnostic lines
// to standard output. Returns the status InitializeHandle returns.
int32_t CreateHeadForSlot(DeviceSlot &slot, char *headType);

// For a bridge supply: clears the I2C bus first, then creates the head as above.
int32_t InitializeBridgeHead(DeviceSlot &slot, char *headType);

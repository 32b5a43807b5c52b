// Finding supplies on the USB-to-I2C adapters.
#pragma once

#include <cstdint>

#include "MavoZARP.h"

// The six out-parameters of MavoZARP_CheckForDevices, each list MAVOZARP_MAX_DEVICES long.
struct DiscoveryLists {
    MavoZARP_Handle *allDevices;
    int32_t *allCount;
    MavoZARP_Handle *newDevices;
    int32_t *newCount;
    MavoZARP_Handle *removedDevices;
    int32_t *removedCount;
};

// Runs under the library's lock. Returns 0, -100 or -101; the lists are untouched unless 0.
int32_t CheckForDevices(const DiscoveryLists &lists);

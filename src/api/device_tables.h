// The registry: three tables of devices with their head models, in the order they entered.
#pragma once

#include <cstdint>
#include <memory>

#include "heads/common_laser.h"

using DeviceHandle = intptr_t;

inline constexpr int32_t kTableCapacity = 20;
// The kind of head a slot carries.
enum class HeadKind : int32_t {
    None = 0,  // no head yet
    Kora = 1,
    PicoX = 2,
    P532 = 3,
    Pico00 = 4,
    Vfn = 5,
    Vfk = 6,
    Text = 9,  // a text supply, which answers the commands itself
};

struct DeviceSlot {
    DeviceHandle handle = 0;
    HeadKind headKind = HeadKind::None;
    std::unique_ptr<CommonLaser> head;   // destroyed with the slot
    Transport transport;                 // what the head is built on
    bool closed = false;                 // an adapter slot whose handle was closed
};

struct DeviceTable {
    DeviceSlot slots[kTableCapacity];
    int32_t count = 0;

    // The index of the first slot with this handle, or -1.
    int32_t Find(DeviceHandle handle) const;
    // False when the table is full.
    bool Append(DeviceHandle handle, const Transport &transport);
    // Destroys the slot's head and closes the gap, keeping the order of the rest.
    void Remove(int32_t index);
};

DeviceTable &AdapterTable();
DeviceTable &BridgeTable();
DeviceTable &TextTable();

// The single simulated head behind handle -1; null until the first command creates it.
std::unique_ptr<CommonLaser> &SimulatedHead();

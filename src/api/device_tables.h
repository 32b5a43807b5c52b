// The registry: three tables of devices with their head models, in the order they entered.
#pragma once

#include <cstdint>
#include <memory>

#include "heads/common_laser.h"
#include "transport/serial_port.h"

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

// Everything the library knows of one device. A slot stays at one address for its whole life:
// its transport, and the copies its head keeps, point at its adapter or its serial line.
struct DeviceSlot {
    DeviceHandle handle = 0;
    HeadKind headKind = HeadKind::None;
    OpenedAdapter adapter;              // an adapter device's, with whether the host closed it
    SerialPort::Line serialLine;        // a bridge's or text supply's port, time-outs, late answer
    Transport transport;                // what the head is built on: one of the two, or no bus
    std::unique_ptr<CommonLaser> head;  // destroyed first, before what its transport points at

    DeviceSlot() = default;
    DeviceSlot(const DeviceSlot &) = delete;
    DeviceSlot &operator=(const DeviceSlot &) = delete;
};

struct DeviceTable {
    std::unique_ptr<DeviceSlot> slots[kTableCapacity];
    int32_t count = 0;

    // The index of the first slot with this handle, or -1.
    int32_t Find(DeviceHandle handle) const;
    // A new slot at the end, with no head and no bus yet; null when the table is full or memory
    // is short.
    DeviceSlot *Append(DeviceHandle handle);
    // Destroys the slot with its head and closes the gap, keeping the order of the rest.
    void Remove(int32_t index);
};

DeviceTable &AdapterTable();
DeviceTable &BridgeTable();
DeviceTable &TextTable();

// The single simulated head behind handle -1; null until the first command creates it.
std::unique_ptr<CommonLaser> &SimulatedHead();

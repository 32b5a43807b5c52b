#include "api/device_tables.h"

#include <new>
#include <utility>

int32_t DeviceTable::Find(DeviceHandle handle) const {
    for (int32_t i = 0; i < count; ++i) {
        if (slots[i]->handle == handle) return i;
    }
    return -1;
}

DeviceSlot *DeviceTable::Append(DeviceHandle handle) {
    if (count >= kTableCapacity) return nullptr;
    DeviceSlot *slot = new (std::nothrow) DeviceSlot;
    if (slot == nullptr) return nullptr;
    slot->handle = handle;
    slots[count++].reset(slot);
    return slot;
}

void DeviceTable::Remove(int32_t index) {
    for (int32_t i = index; i + 1 < count; ++i) slots[i] = std::move(slots[i + 1]);
    --count;
    slots[count].reset();
}

// Process-wide state is created on first use and never destroyed, so that a host thread still
// inside an export at process exit never meets a destroyed object.
DeviceTable &AdapterTable() {
    static DeviceTable *table = new DeviceTable;
    return *table;
}

DeviceTable &BridgeTable() {
    static DeviceTable *table = new DeviceTable;
    return *table;
}

DeviceTable &TextTable() {
    static DeviceTable *table = new DeviceTable;
    return *table;
}

std::unique_ptr<CommonLaser> &SimulatedHead() {
    static auto *head = new std::unique_ptr<CommonLaser>;
    return *head;
}

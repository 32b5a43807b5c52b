#include "api/discovery.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "api/adapter_state.h"
#include "api/device_tables.h"
#include "transport/adapter_library.h"

namespace {

constexpr uint32_t kClockDivisor = 599;
constexpr uint32_t kMode = 1;
constexpr char kSupplyName[] = "ZARP Power Supply";
constexpr uint32_t kTextSize = MAVOZARP_BUFFER_SIZE;

// A call into the adapter library; one that raises counts as a failed call.
template <class Call>
uint32_t Guarded(Call call) {
    try {
        return call();
    } catch (...) {
        return 1;
    }
}

void CloseQuietly(AdapterHandle handle) {
    Guarded([&] { return Adapter().I2C_Close(handle); });
}

// Names adapter `index`; false when it is not a supply that can be opened.
struct Candidate {
    char name[kTextSize] = {};
    char serial[kTextSize] = {};
    uint32_t location = 0;
};

bool NameAdapter(uint32_t index, bool bySerialNumber, Candidate &candidate, bool &named) {
    const AdapterEntryPoints &adapter = Adapter();
    const uint32_t status = Guarded([&] {
        return bySerialNumber
                   ? adapter.I2C_GetDeviceNameSerialNumber(index, candidate.name, kTextSize,
                                                           candidate.serial)
                   : adapter.I2C_GetDeviceNameLocID(index, candidate.name, kTextSize,
                                                    &candidate.location);
    });
    named = status == 0;
    if (!named) return false;
    // The library's texts are terminated within their buffers whatever it wrote.
    candidate.name[kTextSize - 1] = '\0';
    candidate.serial[kTextSize - 1] = '\0';
    const bool isSupply = std::strncmp(candidate.name, kSupplyName, sizeof kSupplyName - 1) == 0;
    const bool usable = bySerialNumber ? candidate.serial[0] != '\0' : candidate.location != 0;
    return isSupply && usable;
}

// Opens, initialises and switches a candidate to its mode; 0 when any step fails (an opened
// adapter is closed again).
AdapterHandle OpenSupply(Candidate &candidate, bool bySerialNumber) {
    const AdapterEntryPoints &adapter = Adapter();
    AdapterHandle handle = 0;
    const uint32_t opened = Guarded([&] {
        return bySerialNumber
                   ? adapter.I2C_OpenExSerialNumber(candidate.name, candidate.serial, &handle)
                   : adapter.I2C_OpenEx(candidate.name, candidate.location, &handle);
    });
    if (opened != 0) {
        if (handle != 0) CloseQuietly(handle);
        return 0;
    }
    // A handle of all bits set would be taken for the simulated head.
    const bool usable = handle != static_cast<AdapterHandle>(MAVOZARP_SIMULATED_HANDLE) &&
                        Guarded([&] { return adapter.I2C_InitDevice(handle, kClockDivisor); }) == 0 &&
                        Guarded([&] { return adapter.I2C_SetMode(handle, kMode); }) == 0;
    if (!usable) {
        CloseQuietly(handle);
        return 0;
    }
    return handle;
}

std::vector<AdapterHandle> EnumerateNewSupplies() {
    std::vector<AdapterHandle> found;
    uint32_t reported = 0;
    if (Guarded([&] { return Adapter().I2C_GetNumDevices(&reported); }) != 0 || reported == 0) {
        return found;
    }
    const bool bySerialNumber = AdapterLibraryStatus().serialNumberApi;
    for (uint32_t index = 0; index < MAVOZARP_MAX_DEVICES; ++index) {
        Candidate candidate;
        bool named = false;
        if (!NameAdapter(index, bySerialNumber, candidate, named)) {
            if (named && found.size() == reported) break;
            continue;
        }
        const AdapterHandle handle = OpenSupply(candidate, bySerialNumber);
        if (handle == 0) continue;
        found.push_back(handle);
        if (found.size() == reported) break;
    }
    return found;
}

}  // namespace

int32_t CheckForDevices(const DiscoveryLists &lists) {
    const int32_t status = CheckAdapterLibrary();
    if (status != MAVOZARP_STATUS_SUCCESS) return status;

    std::fill_n(lists.allDevices, MAVOZARP_MAX_DEVICES, 0);
    std::fill_n(lists.newDevices, MAVOZARP_MAX_DEVICES, 0);
    std::fill_n(lists.removedDevices, MAVOZARP_MAX_DEVICES, 0);
    *lists.allCount = *lists.newCount = *lists.removedCount = 0;

    const std::vector<AdapterHandle> opened = EnumerateNewSupplies();

    // Known adapters that no longer answer leave the table. A closed one is reported removed
    // without being handed to the library again.
    DeviceTable &table = AdapterTable();
    for (int32_t i = 0; i < table.count;) {
        const OpenedAdapter &adapter = table.slots[i]->adapter;
        const bool present = !adapter.closed && Guarded([&] {
            return Adapter().I2C_InitDevice(adapter.handle, kClockDivisor);
        }) == 0;
        if (present) {
            ++i;
            continue;
        }
        if (!adapter.closed) CloseQuietly(adapter.handle);
        lists.removedDevices[(*lists.removedCount)++] = table.slots[i]->handle;
        table.Remove(i);
    }

    // New supplies join after the kept ones; those that do not fit are closed and left out.
    for (const AdapterHandle handle : opened) {
        DeviceSlot *slot = table.Append(static_cast<DeviceHandle>(handle));
        if (slot == nullptr) {
            CloseQuietly(handle);
            continue;
        }
        slot->adapter = OpenedAdapter{.handle = handle, .closed = false};
        slot->transport = AdapterTransport{&slot->adapter};
        lists.newDevices[(*lists.newCount)++] = static_cast<MavoZARP_Handle>(handle);
    }
    for (int32_t i = 0; i < table.count; ++i) lists.allDevices[i] = table.slots[i]->handle;
    *lists.allCount = table.count;
    return MAVOZARP_STATUS_SUCCESS;
}

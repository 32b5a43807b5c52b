// Opening the devices of this process, as the service and its workers both do: the simulated
// head, a supply on a serial port, and the supplies on the adapters, found by discovery again and
// again. Each comes with its stable id: `simulated`, the port path, `adapter-<head id>` (`?HID`)
// or `adapter-<handle>` when the head has no usable id.
#pragma once

#include "client/device.h"

#include <MavoZARP.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct OpenedDevice {
    std::string id;
    MavoZARP_Handle handle = MAVOZARP_SIMULATED_HANDLE;
    DeviceIdentity identity;
};

inline constexpr char kSimulatedId[] = "simulated";

OpenedDevice OpenSimulatedHead();

// The supply on the port with its head identified; nothing when it cannot be opened or
// identified, with one line on standard error saying why.
std::optional<OpenedDevice> OpenSerialSupply(const std::string &port);

// The supplies on the adapters. Each discovery tells the supplies that arrived (their heads
// identified; one whose head cannot be identified now is tried again at the next discovery)
// and the ids of those that left.
class AdapterScan {
public:
    struct Changes {
        std::vector<OpenedDevice> arrived;
        std::vector<std::string> departed;
    };
    Changes Rescan();

private:
    std::string IdOf(MavoZARP_Handle handle, const std::string &headId) const;

    std::vector<std::pair<MavoZARP_Handle, std::string>> ids_;  // of the supplies served now
    bool failureTold_ = false;  // the same failure every few seconds would drown the log
};

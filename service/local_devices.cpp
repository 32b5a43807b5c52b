#include "local_devices.h"

#include "client/status_codes.h"

#include <algorithm>
#include <iostream>

namespace {

bool UsableInId(const std::string &text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
               c == '-' || c == '_' || c == '.';
    });
}

}  // namespace

OpenedDevice OpenSimulatedHead() {
    const Exchange head = IdentifyHead(MAVOZARP_SIMULATED_HANDLE);
    return {kSimulatedId, MAVOZARP_SIMULATED_HANDLE, {"--simulated", "simulated", head.reply}};
}

std::optional<OpenedDevice> OpenSerialSupply(const std::string &port) {
    MavoZARP_Handle handle = 0;
    const int32_t status = MavoZARP_OpenSerialPort(port.c_str(), &handle);
    if (status != MAVOZARP_STATUS_SUCCESS) {
        std::cerr << "mavozarp serve: cannot open a supply on " << port << ": " << PortOpenFailure(port, status)
                  << '\n';
        return std::nullopt;
    }
    const Exchange head = IdentifyHead(handle);
    if (!head.Succeeded()) {
        std::cerr << "mavozarp serve: cannot identify the head on " << port << ": " << StatusMessage(head.status)
                  << '\n';
        MavoZARP_Close(handle);
        return std::nullopt;
    }
    return OpenedDevice{port, handle, {"--port " + port, "serial", head.reply}};
}

AdapterScan::Changes AdapterScan::Rescan() {
    Changes changes;
    const AdapterDiscovery discovery = CheckForAdapterSupplies();
    if (discovery.status != MAVOZARP_STATUS_SUCCESS) {
        if (!failureTold_) {
            std::cerr << "mavozarp serve: discovery on the adapters failed: " << StatusMessage(discovery.status)
                      << '\n';
        }
        failureTold_ = true;
        return changes;
    }
    for (const MavoZARP_Handle handle : discovery.removed) {
        const auto known = std::find_if(ids_.begin(), ids_.end(), [&](const auto &entry) { return entry.first == handle; });
        if (known == ids_.end()) continue;
        changes.departed.push_back(known->second);
        ids_.erase(known);
    }
    for (size_t i = 0; i < discovery.all.size(); ++i) {
        const MavoZARP_Handle handle = discovery.all[i];
        if (std::any_of(ids_.begin(), ids_.end(), [&](const auto &entry) { return entry.first == handle; }))
            continue;
        const Exchange head = IdentifyHead(handle);
        if (!head.Succeeded()) continue;
        const Exchange headId = SendCommand(handle, "?HID");
        const std::string id = IdOf(handle, headId.Succeeded() ? headId.reply : "");
        ids_.emplace_back(handle, id);
        changes.arrived.push_back({id, handle, {"--adapter " + std::to_string(i), "adapter", head.reply}});
    }
    return changes;
}

std::string AdapterScan::IdOf(MavoZARP_Handle handle, const std::string &headId) const {
    const std::string named = "adapter-" + headId;
    const bool taken = std::any_of(ids_.begin(), ids_.end(), [&](const auto &entry) { return entry.second == named; });
    if (UsableInId(headId) && !taken) return named;
    return "adapter-" + std::to_string(handle);
}

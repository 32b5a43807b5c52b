#include "client/device.h"

#include <algorithm>
#include <optional>

#include "client/adapter_listing.h"
#include "client/console.h"
#include "client/serial_ports.h"
#include "client/status_codes.h"

namespace {

// Replies end in CR LF; a text supply's answer may carry line ends of its own.
std::string WithoutLineEnds(const char *text) {
    std::string result(text);
    while (!result.empty() && (result.back() == '\r' || result.back() == '\n')) result.pop_back();
    return result;
}

}  // namespace

std::string DeviceSelector::Describe() const {
    switch (kind) {
    case Kind::Port: return "--port " + port;
    case Kind::Adapter: return "--adapter " + std::to_string(adapterIndex);
    case Kind::Simulated: break;
    }
    return "--simulated";
}

Exchange SendCommand(MavoZARP_Handle handle, std::string_view command) {
    char reply[MAVOZARP_BUFFER_SIZE] = {};
    const std::string terminated(command);
    Exchange exchange;
    exchange.status = MavoZARP_SendCommand(handle, terminated.c_str(), reply);
    exchange.reply = WithoutLineEnds(reply);
    return exchange;
}

std::string LibraryVersionNumber() {
    char version[MAVOZARP_BUFFER_SIZE] = {};
    MavoZARP_GetDLLVersion(version);
    const std::string text = version;
    return text.substr(std::min(text.find(' ') + 1, text.size()));
}

std::string PortOpenFailure(const std::string &port, int32_t status) {
    // The library has one code for every cause; the system tells which one it was.
    const std::optional<std::string> problem = PortProblem(port);
    return problem ? *problem + " (" + std::to_string(status) + ")" : StatusMessage(status);
}

Exchange IdentifyHead(MavoZARP_Handle handle) {
    char headType[MAVOZARP_BUFFER_SIZE] = {};
    Exchange exchange;
    {
        // A captured standard output already keeps the library's lines apart from the program's.
        std::optional<StdoutSilencer> silencer;
        if (!StandardOutputCaptured()) silencer.emplace();
        exchange.status = MavoZARP_InitializeHandle(handle, headType);
    }
    exchange.reply = WithoutLineEnds(headType);
    return exchange;
}

AdapterDiscovery CheckForAdapterSupplies() {
    MavoZARP_Handle all[MAVOZARP_MAX_DEVICES] = {};
    MavoZARP_Handle found[MAVOZARP_MAX_DEVICES] = {};
    MavoZARP_Handle removed[MAVOZARP_MAX_DEVICES] = {};
    int32_t allCount = 0, foundCount = 0, removedCount = 0;
    AdapterDiscovery discovery;
    discovery.status =
        MavoZARP_CheckForDevices(all, &allCount, found, &foundCount, removed, &removedCount);
    if (discovery.status != MAVOZARP_STATUS_SUCCESS) return discovery;
    const auto listed = [](const MavoZARP_Handle *handles, int32_t count) {
        return std::vector<MavoZARP_Handle>(handles,
                                            handles + std::clamp(count, 0, MAVOZARP_MAX_DEVICES));
    };
    discovery.all = listed(all, allCount);
    discovery.found = listed(found, foundCount);
    discovery.removed = listed(removed, removedCount);
    return discovery;
}

std::vector<MavoZARP_Handle> DiscoverAdapterSupplies() {
    AdapterDiscovery discovery = CheckForAdapterSupplies();
    if (discovery.status != MAVOZARP_STATUS_SUCCESS) {
        throw DeviceError("discovery on the adapters failed: " + StatusMessage(discovery.status));
    }
    // No supply may mean adapters that could not be listed at all, which the library does not
    // report: the adapter library says so itself.
    if (discovery.all.empty()) {
        if (const std::optional<std::string> problem = AdapterListingProblem()) throw DeviceError(*problem);
    }
    return std::move(discovery.all);
}

void CloseDevices(const std::vector<MavoZARP_Handle> &handles) {
    for (const MavoZARP_Handle handle : handles) MavoZARP_Close(handle);
}

Device::Device(const DeviceSelector &selector) : selector_(selector) {
    switch (selector.kind) {
    case DeviceSelector::Kind::Simulated: break;
    case DeviceSelector::Kind::Port: {
        MavoZARP_Handle opened = 0;
        const int32_t status = MavoZARP_OpenSerialPort(selector.port.c_str(), &opened);
        if (status != MAVOZARP_STATUS_SUCCESS) {
            throw DeviceError("cannot open a supply on " + selector.port + ": " +
                              PortOpenFailure(selector.port, status));
        }
        handle_ = opened;
        opened_.push_back(opened);
        break;
    }
    case DeviceSelector::Kind::Adapter: {
        opened_ = DiscoverAdapterSupplies();
        if (selector.adapterIndex >= opened_.size()) {
            const size_t found = opened_.size();
            CloseDevices(opened_);
            throw DeviceError("no supply at adapter index " + std::to_string(selector.adapterIndex) +
                            ": " + std::to_string(found) + " found (see `mavozarp scan`)");
        }
        handle_ = opened_[selector.adapterIndex];
        break;
    }
    }
    const Exchange identification = IdentifyHead(handle_);
    if (!identification.Succeeded()) {
        CloseDevices(opened_);
        throw DeviceError("cannot identify the head of " + selector.Describe() + ": " +
                        StatusMessage(identification.status));
    }
    headType_ = identification.reply;
}

Device::~Device() { CloseDevices(opened_); }

const char *Device::Transport() const {
    switch (selector_.kind) {
    case DeviceSelector::Kind::Port: return "serial";
    case DeviceSelector::Kind::Adapter: return "adapter";
    case DeviceSelector::Kind::Simulated: break;
    }
    return "simulated";
}

DeviceIdentity Device::Identity() const { return {selector_.Describe(), Transport(), headType_}; }

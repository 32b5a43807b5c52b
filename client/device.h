// The device a subcommand works on, reached through the library's six exported calls only.
#pragma once

#include "client/device_selector.h"

#include <MavoZARP.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Exchange {
    int32_t status = 0;
    std::string reply;  // without the line end
    bool Succeeded() const { return status == MAVOZARP_STATUS_SUCCESS; }
};

// What a document says about its device.
struct DeviceIdentity {
    std::string selector;   // "--port /dev/ttyUSB0"
    std::string transport;  // "simulated", "serial", "adapter"
    std::string headType;
};

// One command on a handle.
Exchange SendCommand(MavoZARP_Handle handle, std::string_view command);

// The library's version number: "2.1.0" of "MavoZARP 2.1.0". A service asks it once, at start: in
// a process that also runs a slow device, the library's lock may be held for a transfer, which an
// event loop must never wait for.
std::string LibraryVersionNumber();

// Why no supply could be opened on a serial port: the cause the system tells (no such device,
// permission with the group to join, held by which process, not a serial device) with the
// library's code, or the library's status alone when the system sees no cause.
std::string PortOpenFailure(const std::string &port, int32_t status);

// Creates the head of a handle (InitializeHandle) and gives its type text; the library's
// diagnostic lines are kept out of the tool's output.
Exchange IdentifyHead(MavoZARP_Handle handle);

// One discovery on the adapters (CheckForDevices): the status, every supply now known in the
// library's order, and those found and removed since the last discovery.
struct AdapterDiscovery {
    int32_t status = 0;
    std::vector<MavoZARP_Handle> all, found, removed;
};
AdapterDiscovery CheckForAdapterSupplies();

// Every supply now known on the adapters, in the library's order. Throws DeviceError when the
// adapter library is missing or incomplete, or when it finds none because it cannot list its
// adapters.
std::vector<MavoZARP_Handle> DiscoverAdapterSupplies();

// Closes serial and adapter devices; statuses are of no use at that point.
void CloseDevices(const std::vector<MavoZARP_Handle> &handles);

// The selected device, opened and with its head identified; closed when destroyed.
class Device {
public:
    explicit Device(const DeviceSelector &selector);  // throws DeviceError
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    Exchange Send(std::string_view command) const { return SendCommand(handle_, command); }
    const DeviceSelector &Selector() const { return selector_; }
    const std::string &HeadType() const { return headType_; }
    const char *Transport() const;  // "simulated", "serial", "adapter"
    DeviceIdentity Identity() const;

private:
    DeviceSelector selector_;
    MavoZARP_Handle handle_ = MAVOZARP_SIMULATED_HANDLE;
    std::string headType_;
    std::vector<MavoZARP_Handle> opened_;  // closed on destruction
};

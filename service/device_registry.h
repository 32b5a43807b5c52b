// The devices the service owns, by stable id, in a fixed order: the simulated head, the serial
// ports in the order given, then the adapters' supplies as they were found. Devices come from
// this process (the registry opens them, and rescans the adapters at an interval) and from worker
// processes (their supervisors add and remove them). A supply unplugged is retired (its commands
// are refused) and is listed as gone until it comes back or newer departures push it out (the
// last few are kept). Other layers (instrument sockets, MQTT) learn of arrivals and departures
// through watchers.
#pragma once

#include "command_executor.h"
#include "event_loop.h"
#include "local_devices.h"
#include "served_device.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The devices opened in this process.
struct RegistryOptions {
    bool simulated = false;
    std::vector<std::string> ports;
    bool adapters = false;
    std::chrono::milliseconds rescanInterval{2000};
    std::chrono::milliseconds patience{2000};  // how long a command may wait for its turn
    // The limits of each device id, given to the device when it arrives (also one not served yet).
    std::map<std::string, DeviceLimits, std::less<>> limits;
};

// Where a device stands in the list: the simulated head, then each port by its place among the
// ports given (DeviceRegistry::NextAdapterRank for the adapters' supplies).
uint64_t SimulatedRank();
uint64_t PortRank(size_t index);

// The ids of the devices the options name before any of them arrives, in that order: the
// simulated head, then the ports as given.
std::vector<std::string> ConfiguredIds(const RegistryOptions &options);

class DeviceRegistry {
public:
    using Watcher = std::function<void(const std::shared_ptr<ServedDevice> &, bool arrived)>;

    DeviceRegistry(EventLoop &loop, RegistryOptions options);
    ~DeviceRegistry();  // retires every device

    // Opens the devices of the options; one line on standard error per device that could not be
    // opened. Returns how many were opened.
    size_t Open();
    // Starts rescanning the adapters (when asked for) until stopped.
    void StartRescans();
    // No watcher is called from the rescans after this returns.
    void StopRescans();

    // Every device refuses further commands (the service is stopping); waiting ones are told.
    void RetireAll();

    // Called for every device now served and every later arrival or departure.
    void Watch(Watcher watcher);

    // A device arrived (from this process or a worker); a device of the same id already served
    // is refused (false, with a line on standard error).
    bool Add(std::shared_ptr<ServedDevice> device, uint64_t rank);
    // An admin's new limits for the device of this id: it checks them from now on, and a device
    // that arrives under the id later gets them as well.
    void ChangeLimits(const std::string &id, const DeviceLimits &limits);
    // A device left: retired and listed as gone.
    void Remove(const std::string &id);
    // The place of an adapter's supply arriving now: after every port and earlier arrival.
    uint64_t NextAdapterRank();

    std::vector<std::shared_ptr<ServedDevice>> List() const;  // the devices served now
    // Those, then the ones that left (state "gone").
    std::vector<std::shared_ptr<ServedDevice>> ListWithGone() const;
    // A device served now or one that left.
    std::shared_ptr<ServedDevice> Find(std::string_view id) const;

    // One discovery on the adapters of this process: adds new supplies, retires the ones that left.
    void Rescan();

private:
    struct Entry {
        uint64_t rank;
        std::shared_ptr<ServedDevice> device;
    };

    std::shared_ptr<ServedDevice> Local(const OpenedDevice &opened, CommandExecutor::Place place);

    EventLoop &loop_;
    RegistryOptions options_;
    mutable std::mutex mutex_;
    std::vector<Entry> devices_;  // by rank
    std::vector<std::shared_ptr<ServedDevice>> gone_;  // oldest first
    std::vector<Watcher> watchers_;

    uint64_t adapterArrivals_ = 0;   // under the mutex
    AdapterScan adapters_;  // on the thread that opens or rescans

    std::mutex rescanMutex_;
    std::condition_variable stopRescans_;
    bool stopping_ = false;
    std::thread rescans_;
};

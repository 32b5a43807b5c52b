#include "device_registry.h"

#include <algorithm>
#include <iostream>

namespace {

constexpr size_t kMostGone = 16;  // departed devices still listed

// Groups in the high half of a rank, the place within the group in the low half.
constexpr uint64_t kPortGroup = uint64_t{1} << 32;
constexpr uint64_t kAdapterGroup = uint64_t{2} << 32;

}  // namespace

uint64_t SimulatedRank() { return 0; }
uint64_t PortRank(size_t index) { return kPortGroup + index; }

std::vector<std::string> ConfiguredIds(const RegistryOptions &options) {
    std::vector<std::string> ids;
    if (options.simulated) ids.emplace_back(kSimulatedId);
    ids.insert(ids.end(), options.ports.begin(), options.ports.end());
    return ids;
}

DeviceRegistry::DeviceRegistry(EventLoop &loop, RegistryOptions options)
    : loop_(loop), options_(std::move(options)) {}

DeviceRegistry::~DeviceRegistry() {
    StopRescans();
    RetireAll();
    std::lock_guard lock(mutex_);
    devices_.clear();
    gone_.clear();
}

void DeviceRegistry::RetireAll() {
    for (const auto &device : List()) device->Retire();
}

std::shared_ptr<ServedDevice> DeviceRegistry::Local(const OpenedDevice &opened, CommandExecutor::Place place) {
    return std::make_shared<ServedDevice>(
        opened.id, opened.identity,
        std::make_shared<CommandExecutor>(opened.handle, loop_, options_.patience, place));
}

size_t DeviceRegistry::Open() {
    if (options_.simulated) {
        // Alone with the library in this process, the simulated head never waits on the library's
        // lock behind a slow transfer: its commands run at once on the thread that asks.
        const bool alone = options_.ports.empty() && !options_.adapters;
        Add(Local(OpenSimulatedHead(), alone ? CommandExecutor::Place::Caller : CommandExecutor::Place::OwnThread),
            SimulatedRank());
    }
    for (size_t i = 0; i < options_.ports.size(); ++i) {
        if (const auto opened = OpenSerialSupply(options_.ports[i]))
            Add(Local(*opened, CommandExecutor::Place::OwnThread), PortRank(i));
    }
    if (options_.adapters) Rescan();
    return List().size();
}

void DeviceRegistry::StartRescans() {
    if (!options_.adapters) return;
    rescans_ = std::thread([this] {
        std::unique_lock lock(rescanMutex_);
        while (!stopRescans_.wait_for(lock, options_.rescanInterval, [&] { return stopping_; })) {
            lock.unlock();
            Rescan();
            lock.lock();
        }
    });
}

void DeviceRegistry::StopRescans() {
    {
        std::lock_guard lock(rescanMutex_);
        stopping_ = true;
        stopRescans_.notify_all();
    }
    if (rescans_.joinable()) rescans_.join();
}

void DeviceRegistry::Rescan() {
    AdapterScan::Changes changes = adapters_.Rescan();
    for (const std::string &id : changes.departed) Remove(id);
    for (const OpenedDevice &opened : changes.arrived)
        Add(Local(opened, CommandExecutor::Place::OwnThread), NextAdapterRank());
}

uint64_t DeviceRegistry::NextAdapterRank() {
    std::lock_guard lock(mutex_);
    return kAdapterGroup + adapterArrivals_++;
}

bool DeviceRegistry::Add(std::shared_ptr<ServedDevice> device, uint64_t rank) {
    std::vector<Watcher> watchers;
    {
        std::lock_guard lock(mutex_);
        if (std::any_of(devices_.begin(), devices_.end(),
                        [&](const Entry &served) { return served.device->Id() == device->Id(); })) {
            std::cerr << "mavozarp serve: " << device->Id() << " is served already; its second arrival is left out\n";
            return false;
        }
        std::erase_if(gone_, [&](const auto &left) { return left->Id() == device->Id(); });
        // Before any door can find it: no setting is ever checked against no limits by mistake.
        if (const auto limits = options_.limits.find(device->Id()); limits != options_.limits.end())
            device->Limits().SetLimits(limits->second);
        const auto place = std::find_if(devices_.begin(), devices_.end(), [&](const Entry &served) { return served.rank > rank; });
        devices_.insert(place, Entry{rank, device});
        watchers = watchers_;
    }
    device->ReadSettings(true);
    for (const Watcher &watcher : watchers) watcher(device, true);
    return true;
}

void DeviceRegistry::ChangeLimits(const std::string &id, const DeviceLimits &limits) {
    std::lock_guard lock(mutex_);
    options_.limits[id] = limits;
    const auto served = std::find_if(devices_.begin(), devices_.end(),
                                     [&](const Entry &entry) { return entry.device->Id() == id; });
    if (served != devices_.end()) served->device->Limits().SetLimits(limits);
}

void DeviceRegistry::Remove(const std::string &id) {
    std::shared_ptr<ServedDevice> device;
    std::vector<Watcher> watchers;
    {
        std::lock_guard lock(mutex_);
        const auto found = std::find_if(devices_.begin(), devices_.end(),
                                        [&](const Entry &served) { return served.device->Id() == id; });
        if (found == devices_.end()) return;
        device = found->device;
        devices_.erase(found);
        gone_.push_back(device);
        if (gone_.size() > kMostGone) gone_.erase(gone_.begin());
        watchers = watchers_;
    }
    device->Retire();
    std::cerr << "mavozarp serve: " << device->Id() << " left\n";
    for (const Watcher &watcher : watchers) watcher(device, false);
}

void DeviceRegistry::Watch(Watcher watcher) {
    std::vector<std::shared_ptr<ServedDevice>> devices;
    {
        std::lock_guard lock(mutex_);
        watchers_.push_back(watcher);
        for (const Entry &served : devices_) devices.push_back(served.device);
    }
    for (const auto &device : devices) watcher(device, true);
}

std::vector<std::shared_ptr<ServedDevice>> DeviceRegistry::List() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<ServedDevice>> devices;
    for (const Entry &served : devices_) devices.push_back(served.device);
    return devices;
}

std::vector<std::shared_ptr<ServedDevice>> DeviceRegistry::ListWithGone() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<ServedDevice>> all;
    for (const Entry &served : devices_) all.push_back(served.device);
    all.insert(all.end(), gone_.begin(), gone_.end());
    return all;
}

std::shared_ptr<ServedDevice> DeviceRegistry::Find(std::string_view id) const {
    for (const auto &device : ListWithGone()) {
        if (device->Id() == id) return device;
    }
    return nullptr;
}

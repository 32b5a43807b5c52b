#include "device_registry.h"

#include "client/device.h"
#include "client/status_codes.h"

#include <algorithm>
#include <iostream>

namespace {

constexpr char kSimulatedId[] = "simulated";
constexpr size_t kMostGone = 16;  // departed devices still listed

bool UsableInId(const std::string &text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
               c == '-' || c == '_' || c == '.';
    });
}

}  // namespace

ServedDevice::ServedDevice(std::string id, MavoZARP_Handle handle, DeviceIdentity identity,
                           std::chrono::milliseconds patience)
    : id_(std::move(id)),
      handle_(handle),
      identity_(std::move(identity)),
      executor_(handle, patience),
      hub_(executor_, identity_.headType) {}

ServedDevice::~ServedDevice() {
    executor_.Retire();
    if (handle_ != MAVOZARP_SIMULATED_HANDLE) MavoZARP_Close(handle_);
}

const char *ServedDevice::State() const {
    if (executor_.Retired()) return "gone";
    return executor_.Answering() ? "answering" : "failing";
}

DeviceRegistry::DeviceRegistry(RegistryOptions options) : options_(std::move(options)) {}

DeviceRegistry::~DeviceRegistry() {
    StopRescans();
    RetireAll();
    std::lock_guard lock(mutex_);
    devices_.clear();
    gone_.clear();
}

void DeviceRegistry::RetireAll() {
    for (const auto &device : List()) device->Executor().Retire();
}

size_t DeviceRegistry::Open() {
    if (options_.simulated) {
        const Exchange head = IdentifyHead(MAVOZARP_SIMULATED_HANDLE);
        Add(std::make_shared<ServedDevice>(kSimulatedId, MAVOZARP_SIMULATED_HANDLE,
                                           DeviceIdentity{"--simulated", "simulated", head.reply},
                                           options_.patience));
    }
    for (const std::string &port : options_.ports) {
        MavoZARP_Handle handle = 0;
        const int32_t status = MavoZARP_OpenSerialPort(port.c_str(), &handle);
        if (status != MAVOZARP_STATUS_SUCCESS) {
            std::cerr << "mavozarp serve: cannot open a supply on " << port << ": "
                      << PortOpenFailure(port, status) << '\n';
            continue;
        }
        const Exchange head = IdentifyHead(handle);
        if (!head.Succeeded()) {
            std::cerr << "mavozarp serve: cannot identify the head on " << port << ": "
                      << StatusMessage(head.status) << '\n';
            MavoZARP_Close(handle);
            continue;
        }
        Add(std::make_shared<ServedDevice>(port, handle,
                                           DeviceIdentity{"--port " + port, "serial", head.reply},
                                           options_.patience));
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
    const AdapterDiscovery discovery = CheckForAdapterSupplies();
    if (discovery.status != MAVOZARP_STATUS_SUCCESS) {
        static bool told = false;  // the same failure every few seconds would drown the log
        if (!told) std::cerr << "mavozarp serve: discovery on the adapters failed: "
                             << StatusMessage(discovery.status) << '\n';
        told = true;
        return;
    }
    for (const MavoZARP_Handle handle : discovery.removed) Remove(handle);
    // A supply is served once its head is identified; one whose identification fails now is
    // tried again at the next rescan.
    for (size_t i = 0; i < discovery.all.size(); ++i) {
        const MavoZARP_Handle handle = discovery.all[i];
        {
            std::lock_guard lock(mutex_);
            const bool known = std::any_of(adapterIds_.begin(), adapterIds_.end(),
                                           [&](const auto &entry) { return entry.first == handle; });
            if (known) continue;
        }
        const Exchange head = IdentifyHead(handle);
        if (!head.Succeeded()) continue;
        const Exchange headId = SendCommand(handle, "?HID");
        const std::string id = AdapterId(handle, headId.Succeeded() ? headId.reply : "");
        {
            std::lock_guard lock(mutex_);
            adapterIds_.emplace_back(handle, id);
        }
        Add(std::make_shared<ServedDevice>(
            id, handle, DeviceIdentity{"--adapter " + std::to_string(i), "adapter", head.reply},
            options_.patience));
    }
}

std::string DeviceRegistry::AdapterId(MavoZARP_Handle handle, const std::string &headId) const {
    std::lock_guard lock(mutex_);
    const auto taken = [&](const std::string &id) {
        return std::any_of(devices_.begin(), devices_.end(),
                           [&](const auto &device) { return device->Id() == id; });
    };
    if (UsableInId(headId) && !taken("adapter-" + headId)) return "adapter-" + headId;
    return "adapter-" + std::to_string(handle);
}

void DeviceRegistry::Add(std::shared_ptr<ServedDevice> device) {
    std::vector<Watcher> watchers;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(gone_, [&](const auto &left) { return left->Id() == device->Id(); });
        devices_.push_back(device);
        watchers = watchers_;
    }
    for (const Watcher &watcher : watchers) watcher(device, true);
}

void DeviceRegistry::Remove(MavoZARP_Handle handle) {
    std::shared_ptr<ServedDevice> device;
    std::vector<Watcher> watchers;
    {
        std::lock_guard lock(mutex_);
        const auto entry = std::find_if(adapterIds_.begin(), adapterIds_.end(),
                                        [&](const auto &known) { return known.first == handle; });
        if (entry == adapterIds_.end()) return;
        const auto found = std::find_if(devices_.begin(), devices_.end(),
                                        [&](const auto &served) { return served->Id() == entry->second; });
        adapterIds_.erase(entry);
        if (found == devices_.end()) return;
        device = *found;
        devices_.erase(found);
        gone_.push_back(device);
        if (gone_.size() > kMostGone) gone_.erase(gone_.begin());
        watchers = watchers_;
    }
    device->Executor().Retire();
    std::cerr << "mavozarp serve: " << device->Id() << " left\n";
    for (const Watcher &watcher : watchers) watcher(device, false);
}

void DeviceRegistry::Watch(Watcher watcher) {
    std::vector<std::shared_ptr<ServedDevice>> devices;
    {
        std::lock_guard lock(mutex_);
        watchers_.push_back(watcher);
        devices = devices_;
    }
    for (const auto &device : devices) watcher(device, true);
}

std::vector<std::shared_ptr<ServedDevice>> DeviceRegistry::List() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

std::vector<std::shared_ptr<ServedDevice>> DeviceRegistry::ListWithGone() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<ServedDevice>> all = devices_;
    all.insert(all.end(), gone_.begin(), gone_.end());
    return all;
}

std::shared_ptr<ServedDevice> DeviceRegistry::Find(std::string_view id) const {
    for (const auto &device : ListWithGone()) {
        if (device->Id() == id) return device;
    }
    return nullptr;
}

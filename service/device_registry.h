// The devices the service owns: each with a stable id, its handle, its command executor and its
// sampler. Devices come from the service's options (the simulated head, serial ports) and from
// discovery on the adapters, rescanned at an interval: a supply plugged in appears, one unplugged
// is retired (its executor refuses further commands) and is listed as gone until it comes back or
// newer departures push it out (the last few are kept). Other layers (instrument
// sockets, MQTT) learn of arrivals and departures through watchers.
#pragma once

#include "command_executor.h"
#include "sampler_hub.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ServedDevice {
public:
    ServedDevice(std::string id, MavoZARP_Handle handle, DeviceIdentity identity,
                 std::chrono::milliseconds patience);
    ~ServedDevice();  // stops the sampler; closes the handle (not the simulated head's)

    const std::string &Id() const { return id_; }
    const DeviceIdentity &Identity() const { return identity_; }
    CommandExecutor &Executor() { return executor_; }
    SamplerHub &Hub() { return hub_; }

    // "answering", "failing" (its last command did not reach the head) or "gone".
    const char *State() const;

private:
    std::string id_;
    MavoZARP_Handle handle_;
    DeviceIdentity identity_;
    CommandExecutor executor_;
    SamplerHub hub_;
};

struct RegistryOptions {
    bool simulated = false;
    std::vector<std::string> ports;
    bool adapters = false;
    std::chrono::milliseconds rescanInterval{2000};
    std::chrono::milliseconds patience{2000};  // how long a command may wait for its turn
};

class DeviceRegistry {
public:
    using Watcher = std::function<void(const std::shared_ptr<ServedDevice> &, bool arrived)>;

    explicit DeviceRegistry(RegistryOptions options);
    ~DeviceRegistry();  // retires and closes every device

    // Opens the devices of the options; one line on standard error per device that could not be
    // opened. Returns how many were opened.
    size_t Open();
    // Starts rescanning the adapters (when asked for) until stopped.
    void StartRescans();
    // No watcher is called after this returns.
    void StopRescans();

    // Every device refuses further commands (the service is stopping); waiting ones are told.
    void RetireAll();

    // Called for every device now served and every later arrival or departure.
    void Watch(Watcher watcher);

    std::vector<std::shared_ptr<ServedDevice>> List() const;  // the devices served now
    // Those, then the ones that left (state "gone").
    std::vector<std::shared_ptr<ServedDevice>> ListWithGone() const;
    // A device served now or one that left.
    std::shared_ptr<ServedDevice> Find(std::string_view id) const;

    // One discovery on the adapters: adds new supplies, retires the ones that left.
    void Rescan();

private:
    void Add(std::shared_ptr<ServedDevice> device);
    void Remove(MavoZARP_Handle handle);
    std::string AdapterId(MavoZARP_Handle handle, const std::string &headId) const;

    RegistryOptions options_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<ServedDevice>> devices_;
    std::vector<std::shared_ptr<ServedDevice>> gone_;  // oldest first
    std::vector<std::pair<MavoZARP_Handle, std::string>> adapterIds_;  // handle -> device id
    std::vector<Watcher> watchers_;

    std::mutex rescanMutex_;
    std::condition_variable stopRescans_;
    bool stopping_ = false;
    std::thread rescans_;
};

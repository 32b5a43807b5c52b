// The launcher's adapter supplies, shared with every host program through a Unix socket in a
// private folder (mode 0700, removed when the server goes). See remote/shared_supplies.h.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus/adapter_supply_list.h"
#include "bus/virtual_supply.h"
#include "remote/shared_supplies.h"

namespace sim {

class SharedSupplyServer {
public:
    // Told each transaction on an adapter supply's bus, with the adapter's number.
    using Tracer = std::function<void(uint32_t adapter, const I2cTransaction &)>;

    // Throws std::system_error when the socket cannot be made.
    explicit SharedSupplyServer(Tracer tracer = {});
    ~SharedSupplyServer();
    SharedSupplyServer(const SharedSupplyServer &) = delete;
    SharedSupplyServer &operator=(const SharedSupplyServer &) = delete;

    const std::string &SocketPath() const { return socketPath_; }

    // A new adapter supply from a list entry whose preset exists; its number.
    uint32_t Add(const AdapterSupplyEntry &entry);
    // Unplugs or plugs back an adapter; false for an unknown one.
    bool SetPlugged(uint32_t adapter, bool plugged);

private:
    struct Served {
        SharedAdapter naming;
        std::unique_ptr<VirtualSupply> supply;
    };

    void Accept();
    void Serve(int client, std::atomic<bool> &finished);
    std::vector<uint8_t> Answer(std::span<const uint8_t> request);

    Tracer tracer_;
    std::mutex mutex_;
    std::vector<Served> adapters_;
    std::string folder_, socketPath_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};  // written once to wake every thread for the end
    struct Client {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::vector<Client> clients_;  // only the acceptor touches it until the end
    std::thread acceptor_;
};

}  // namespace sim

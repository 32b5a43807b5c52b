// The Modbus TCP door: every device a unit on one port, for PLCs and SCADA systems. Unit ids run
// from 1 to 247: those pinned by the configuration, then the devices configured in their order
// (the simulated head, the ports), then each device as it first arrives; a device keeps its id
// while the service runs, also when it leaves and comes back (meanwhile its unit answers
// exception 0B). Connections go through the shared listener (at most 32, the longest idle one
// shed for a new one) and requests through the command gate, as this door's: a client's address
// decides whether it may write.
#pragma once

#include "command_gate.h"
#include "event_loop.h"
#include "listener.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

inline constexpr uint8_t kFirstModbusUnit = 1;
inline constexpr uint8_t kLastModbusUnit = 247;

struct ModbusDoorOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 502;  // 0: any free port
    std::map<std::string, uint8_t> pinnedUnits;  // by device id; each unit at most once
    std::vector<std::string> configured;         // the device ids known before they arrive, in order
    ConnectionBounds connections{.perListener = 32, .perAddress = 32};
};

class ModbusDoor {
public:
    ModbusDoor(EventLoop &loop, CommandGate &gate, ModbusDoorOptions options);
    ~ModbusDoor();  // stops the loop it serves on: every connection closes

    // Binds and listens (throws std::runtime_error saying why it cannot), then accepts on the loop.
    // Returns the port bound.
    uint16_t Listen();

    // For DeviceRegistry::Watch: a device's unit answers from its arrival until it leaves.
    void DeviceChanged(const std::shared_ptr<ServedDevice> &device, bool arrived);

    // The unit of every device given one, by device id (also of devices that left).
    std::map<std::string, uint8_t> Units() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

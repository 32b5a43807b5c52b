// The USB side of the adapter library: finding FTDI chips with an MPSSE engine, opening one, and
// moving the engine's command and answer bytes. The library built for users reaches the chips
// through libftdi (libftdi_backend.cpp); the test build reaches a model of the engine instead, so
// everything above this seam runs unchanged against both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "status.h"

namespace ftdi_adapter {

// The chips whose engine speaks I2C here. The high-speed ones run the engine from 60 MHz (12 MHz
// with the divide-by-5 on) and know three-phase and adaptive clocking; the FT2232D runs it from
// 12 MHz without them.
enum class Chip { kFt2232D, kFt2232H, kFt4232H, kFt232H };

inline bool IsHighSpeed(Chip chip) { return chip != Chip::kFt2232D; }

// One engine as enumerated: a chip's MPSSE-capable interface.
struct UsbDevice {
    std::string description;  // the product string, with " A"/" B" on chips with several engines
    std::string serialNumber;
    uint32_t location = 0;  // LocationOf the USB bus, port path and interface
    Chip chip = Chip::kFt232H;
    // Kok when the description and serial number could be read; else why not (a device the user
    // may not open, for example), so that opening it reports the same.
    Status access = Status::kOk;
};

// A location id that stays the same while the chip stays in the same socket: the bus number in
// the top byte, up to five port numbers of the path below it (four bits each, ports above 15
// folded), and the interface (1 for A, 2 for B, ...) in the lowest four bits, so it is never 0.
uint32_t LocationOf(uint8_t bus, const std::vector<uint8_t> &portPath, unsigned interfaceNumber);

// An opened engine.
class MpsseLink {
public:
    virtual ~MpsseLink() = default;
    // Puts the chip back into MPSSE mode with nothing queued either way.
    virtual Status ResetEngine() = 0;
    virtual Status Send(const std::vector<uint8_t> &commands) = 0;
    // Exactly `count` answer bytes, waiting at most `timeoutMs` for them.
    virtual Status Receive(uint8_t *answer, size_t count, uint32_t timeoutMs) = 0;
};

class UsbBackend {
public:
    virtual ~UsbBackend() = default;
    // What the engines are reached through, for the version text ("libftdi 1.5").
    virtual std::string Name() const = 0;
    // Every engine attached now, in an order that does not change while nothing is plugged or
    // unplugged.
    virtual Status Enumerate(std::vector<UsbDevice> &found) = 0;
    virtual Status Open(const UsbDevice &device, std::unique_ptr<MpsseLink> &link) = 0;
};

// The backend this build of the library uses; it lives as long as the process.
UsbBackend &Backend();

}  // namespace ftdi_adapter

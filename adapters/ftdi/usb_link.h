// The USB side of the adapter library: listing FTDI chips, opening a channel's MPSSE engine, and
// moving the engine's command and answer bytes. The library built for users reaches the chips
// through libftdi (libftdi_backend.cpp); the test build reaches a model of the engine instead, so
// everything above this seam runs unchanged against both.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "chips.h"
#include "status.h"

namespace ftdi_adapter {

// One FTDI chip as its USB device descriptor shows it. Which of its channels have an MPSSE
// engine follows from its type (chips.h), known before any channel of it is opened.
struct UsbChip {
    uint16_t release = 0;  // bcdDevice, which tells the chip type
    uint8_t bus = 0;
    std::vector<uint8_t> portPath;
    // The chip's address on its bus: given afresh at every plug, so that a chip plugged back
    // is told from one that stayed.
    uint8_t address = 0;
    std::string product;  // the product string and serial number, where asked for
    std::string serialNumber;
    // kOk when the strings could be read; else why not (a device the user may not open, for
    // example), so that opening one of its channels reports the same.
    Status access = Status::kOk;
};

// One engine as enumerated: a channel of a chip with an MPSSE engine.
struct UsbDevice {
    std::string description;  // the product string, with " A"/" B" on chips with several channels
    std::string serialNumber;
    uint32_t location = 0;  // LocationOf the USB bus, port path and interface
    uint8_t address = 0;    // the chip's, as in UsbChip
    Chip chip = Chip::kFt232H;
    Status access = Status::kOk;  // as in UsbChip
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
    // Every FTDI chip attached now, from its device descriptor, in an order that does not change
    // while nothing is plugged or unplugged; the strings are read only of the chips whose release
    // `named` accepts. Nothing else of a chip is opened.
    virtual Status ListChips(const std::function<bool(uint16_t release)> &named,
                             std::vector<UsbChip> &chips) = 0;
    virtual Status Open(const UsbDevice &device, std::unique_ptr<MpsseLink> &link) = 0;
};

// The backend this build of the library uses; it lives as long as the process.
UsbBackend &Backend();

// Every MPSSE engine of the chips attached now: chip by chip, channel A first. Channels without an
// engine are left out, and chips without one are not even read.
Status EnumerateEngines(UsbBackend &backend, std::vector<UsbDevice> &engines);

}  // namespace ftdi_adapter

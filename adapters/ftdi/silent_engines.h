// Engines that did not answer the MPSSE synchronisation. Each would make every discovery wait for
// its answer in vain, so it is left out of every count while its chip stays plugged; plugged back
// (the host gives the chip a new address on its bus), it is tried afresh.
#pragma once

#include <vector>

#include "usb_link.h"

namespace ftdi_adapter {

class SilentEngines {
public:
    // The engines of `attached` that are not silent. Silent engines no longer attached are
    // forgotten.
    std::vector<UsbDevice> Answering(const std::vector<UsbDevice> &attached);
    // True when the engine was not silent yet.
    bool Add(const UsbDevice &device);

private:
    struct Key {
        uint32_t location;
        uint8_t address;
        bool operator==(const Key &) const = default;
    };
    static Key KeyOf(const UsbDevice &device) {
        return {.location = device.location, .address = device.address};
    }
    bool Contains(const Key &key) const;

    std::vector<Key> silent_;
};

}  // namespace ftdi_adapter

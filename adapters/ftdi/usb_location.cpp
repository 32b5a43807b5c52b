#include "usb_link.h"

#include <algorithm>

namespace ftdi_adapter {

uint32_t LocationOf(uint8_t bus, const std::vector<uint8_t> &portPath, unsigned interfaceNumber) {
    constexpr size_t kPortsKept = 5;
    constexpr uint32_t kPortMask = 0x0F;
    uint32_t ports = 0;
    for (size_t i = 0; i < std::min(portPath.size(), kPortsKept); ++i) {
        ports = (ports << 4) | (portPath[i] & kPortMask);
    }
    return (uint32_t{bus} << 24) | (ports << 4) | (interfaceNumber & kPortMask);
}

}  // namespace ftdi_adapter

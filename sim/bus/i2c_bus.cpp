#include "bus/i2c_bus.h"

namespace sim {

void I2cBus::Attach(uint8_t address, std::unique_ptr<I2cDevice> device) {
    devices_[static_cast<uint8_t>(address & 0xFE)] = std::move(device);
}

I2cDevice *I2cBus::Find(uint8_t address) const {
    const auto it = devices_.find(static_cast<uint8_t>(address & 0xFE));
    return it == devices_.end() ? nullptr : it->second.get();
}

bool I2cBus::Write(uint8_t address, const uint8_t *bytes, uint32_t count) {
    I2cDevice *device = Find(address);
    if (device == nullptr) return false;
    device->Start(false);
    bool acknowledged = true;
    for (uint32_t i = 0; i < count && acknowledged; ++i) acknowledged = device->WriteByte(bytes[i]);
    device->Stop();
    return acknowledged;
}

bool I2cBus::WriteThenRead(uint8_t address, const uint8_t *control, uint32_t controlCount,
                           uint8_t *data, uint32_t dataCount) {
    I2cDevice *device = Find(address);
    if (device == nullptr) return false;
    device->Start(false);
    for (uint32_t i = 0; i < controlCount; ++i) {
        if (!device->WriteByte(control[i])) {
            device->Stop();
            return false;
        }
    }
    device->Start(true);
    for (uint32_t i = 0; i < dataCount; ++i) data[i] = device->ReadByte();
    device->Stop();
    return true;
}

}  // namespace sim

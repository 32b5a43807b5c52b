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
    return WriteThenRead(address, bytes, count, nullptr, 0);
}

bool I2cBus::WriteThenRead(uint8_t address, const uint8_t *control, uint32_t controlCount,
                           uint8_t *data, uint32_t dataCount) {
    I2cTransaction seen;
    seen.address = static_cast<uint8_t>(address & 0xFE);
    seen.reads = data != nullptr;
    I2cDevice *device = Find(address);
    seen.acknowledged = device != nullptr;
    if (device != nullptr) {
        device->Start(false);
        for (uint32_t i = 0; i < controlCount && seen.acknowledged; ++i) {
            seen.written.push_back(control[i]);
            seen.acknowledged = device->WriteByte(control[i]);
        }
        if (seen.acknowledged && data != nullptr) {
            device->Start(true);
            for (uint32_t i = 0; i < dataCount; ++i) data[i] = device->ReadByte();
            seen.read.assign(data, data + dataCount);
        }
        device->Stop();
    }
    Report(seen);
    return seen.acknowledged;
}

}  // namespace sim

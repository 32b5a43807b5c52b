// A virtual I2C bus: devices plug in at their 8-bit address and see the bus transactions as a
// real part would: a start with the address byte, written bytes, read bytes, a stop.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace sim {

class I2cDevice {
public:
    virtual ~I2cDevice() = default;
    // A start (or repeated start) addressed to this device; `read` is the address byte's bit 0.
    virtual void Start(bool read) { (void)read; }
    // A byte written by the master; false leaves it unacknowledged.
    virtual bool WriteByte(uint8_t value) = 0;
    // The next byte the device sends to the master.
    virtual uint8_t ReadByte() = 0;
    virtual void Stop() {}
};

// One whole transaction as the bus saw it, for traces: the bytes written up to the first one not
// acknowledged, and the bytes read.
struct I2cTransaction {
    uint8_t address = 0;  // 8-bit form, bit 0 clear
    std::vector<uint8_t> written;
    std::vector<uint8_t> read;
    bool reads = false;  // a repeated start with the reading address followed the written bytes
    bool acknowledged = true;
    // Driven bit by bit through the bridge's GPIO port: one start with the reading address, the
    // register pointer clocked out by the master, then the data (see bus/bit_level_i2c.h).
    bool bitLevel = false;
};

class I2cBus {
public:
    // The bus owns its devices; `address` is the 8-bit form (bit 0 clear).
    void Attach(uint8_t address, std::unique_ptr<I2cDevice> device);
    I2cDevice *Find(uint8_t address) const;

    // Whole transactions, as an adapter performs them. False when the address or a byte is not
    // acknowledged.
    bool Write(uint8_t address, const uint8_t *bytes, uint32_t count);
    bool WriteThenRead(uint8_t address, const uint8_t *control, uint32_t controlCount,
                       uint8_t *data, uint32_t dataCount);

    // Told every transaction after it ended (Write, WriteThenRead, and those a bit-level front end
    // reports); the observer runs under whatever lock the caller holds.
    using Observer = std::function<void(const I2cTransaction &)>;
    void Observe(Observer observer) { observer_ = std::move(observer); }
    void Report(const I2cTransaction &transaction) const {
        if (observer_) observer_(transaction);
    }

private:
    std::map<uint8_t, std::unique_ptr<I2cDevice>> devices_;
    Observer observer_;
};

}  // namespace sim

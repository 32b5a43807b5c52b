// An I2C master made of an FTDI MPSSE engine, as FTDI's command set describes it: the clock on
// ADBUS0 (TCK), the data line driven from ADBUS1 (TDI/DO) and read back on ADBUS2 (TDO/DI), both
// wired together to SDA with a pull-up.
//
// Lines are open drain. On the FT232H the chip makes them so (drive-only-zero, 0x9E, on SCL and
// SDA): no pin is ever driven high. The other chips have no such mode, so it is emulated: a line
// is high by releasing it (its pin made an input, the pull-up lifts it) and low by driving it
// low. Two exceptions there, because the engine shifts bits only through a driven pin: the first
// seven bits of a byte the master writes are driven both ways (the eighth is released when it is
// 1, so SDA is never driven against the device's acknowledgement; SDA is released for every
// acknowledgement and every byte read), and SCL is driven both ways. No clock stretching on any
// chip: a device that holds SCL is not waited for. Data change on the falling clock edge and are
// sampled on the rising one; on the high-speed chips three-phase clocking keeps the data for a
// third of the clock period after the falling edge, as I2C wants a hold time there.
//
// Every transaction starts by reading the lines: a bus whose SDA or SCL is low while idle is
// reported as held low and not touched. Every byte the master writes has its acknowledgement
// read back before the next byte goes out, so a device that refuses a byte gets nothing more.
#pragma once

#include <cstdint>
#include <vector>

#include "status.h"
#include "usb_link.h"

namespace ftdi_adapter {

// The SCL frequency a clock divisor gives on a chip: 12 MHz / ((1 + divisor) * 2) from the
// engine's clock, two thirds of it with three-phase clocking on the high-speed chips. 0 for a
// divisor above the engine's 16 bits.
uint32_t ClockFrequency(Chip chip, uint32_t divisor);

inline constexpr uint32_t kMaxClockDivisor = 0xFFFF;

// How a read gets from the command bytes to the data.
enum class ReadTurn {
    kRepeatedStart,   // start, address, command bytes, repeated start, reading address, data, stop
    kStopThenStart,   // the same with a stop and a fresh start in place of the repeated start
};

// Whether the acknowledgements of some bytes are checked, and how long their answer may take to
// come back from the adapter.
struct AckCheck {
    bool checked = true;
    uint32_t timeoutMs = 20;
};

class MpsseI2cMaster {
public:
    MpsseI2cMaster(MpsseLink &link, Chip chip) : link_(link), chip_(chip) {}

    // Resets the engine, checks that it answers in step, and sets it up for I2C with the clock
    // from `divisor`, loopback off and both lines high.
    Status Initialise(uint32_t divisor);
    Status SetClock(uint32_t divisor);
    Status SetLoopback(bool on);

    // One transaction: start, control[0] (a writing address), the other control bytes, the data,
    // stop. A refused byte ends the transaction with a stop.
    Status Write(const uint8_t *control, uint32_t controlCount, AckCheck controlAck,
                 const uint8_t *data, uint32_t dataCount, AckCheck dataAck);
    // Start, control[0], the other control bytes (the command), then the turn to the reading
    // address (control[0] | 1) and `dataCount` bytes read, each acknowledged but the last, stop.
    Status Read(const uint8_t *control, uint32_t controlCount, AckCheck controlAck, ReadTurn turn,
                uint8_t *data, uint32_t dataCount);

    uint32_t Frequency() const { return ClockFrequency(chip_, divisor_); }

private:
    Status CheckBusIdle();
    // A start (a repeated one when `repeated`), then the bytes; the first is the address.
    Status Begin(bool repeated, const uint8_t *bytes, uint32_t count, AckCheck ack);
    Status WriteBytes(const uint8_t *bytes, uint32_t count, AckCheck ack, Status refusal);
    Status ReadBytes(uint8_t *data, uint32_t count);
    Status Stop();

    MpsseLink &link_;
    Chip chip_;
    uint32_t divisor_ = 0;
};

}  // namespace ftdi_adapter

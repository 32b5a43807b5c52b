// I2C driven bit by bit over two open-drain lines, as the bridge's GPIO port drives it: the master
// sets or releases the data and clock lines and looks at the data line; the model finds starts,
// stops, address and data bytes in the edges and plays the addressed device of an I2cBus, pulling
// the data line low for its acknowledges and its zero bits.
//
// Behaviour of this bridge-attached bus after a reading address: the master may first clock out
// register pointer bytes (it drives every bit and never looks at the line while doing so), and the
// device takes them as the register to read, as if a write transaction had selected it. A byte in
// whose first bit the master releases the data line and looks at it is a byte the device sends.
// So "start, reading address, pointer bytes, data bytes, stop" reads a register without a second
// start; to the device models it looks like Start(false), the pointer bytes, Start(true), reads.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "bus/i2c_bus.h"

namespace sim {

class BitLevelI2c {
public:
    explicit BitLevelI2c(I2cBus &bus) : bus_(bus) {}

    // The master's outputs (true releases the line). When both change at once, the data line is
    // taken to change before a rising clock edge and after a falling one, as a master sets up and
    // holds its data; only a data change while the clock stays high is a start or a stop.
    void Drive(bool dataHigh, bool clockHigh);

    // The master looks at the data line (see the behaviour above for what a look means).
    bool LookAtData();

    bool DataLevel() const { return masterData_ && !deviceLow_ && stuckFallingEdges_ == 0; }
    bool ClockLevel() const { return clock_; }

    // Told the levels of both lines after every change the master or the device made, for
    // recordings of the wire. `sinceClockRose`: the device began to send a byte at the master's
    // look, so on the wire its first bit stood on the line before the clock rose.
    using LineObserver = std::function<void(bool dataHigh, bool clockHigh, bool sinceClockRose)>;
    void ObserveLines(LineObserver observer) { lineObserver_ = std::move(observer); }

    // A device stuck in the middle of a byte: the data line stays low until the clock has fallen
    // `fallingEdges` more times.
    void HoldDataLow(unsigned fallingEdges) { stuckFallingEdges_ = fallingEdges; }

private:
    enum class Phase { kIdle, kAddress, kByte, kAcknowledge };
    enum class ByteRole { kUndecided, kMasterWrites, kDeviceSends };
    enum class DeviceMode { kNone, kWriting, kReading };

    void DriveLines(bool dataHigh, bool clockHigh);
    void OnStart();
    void OnStop();
    void OnClockRise();
    void OnClockFall();
    void EndOfByte();
    void BeginByte(ByteRole role);
    void Engage(DeviceMode mode);
    void ReleaseDevice();
    void ReportTransaction();
    void DriveSentBit() { deviceLow_ = ((sending_ >> (7 - bit_)) & 1) == 0; }

    void ReportLines(bool sinceClockRose = false) const {
        if (lineObserver_) lineObserver_(DataLevel(), ClockLevel(), sinceClockRose);
    }

    I2cBus &bus_;
    LineObserver lineObserver_;
    bool masterData_ = false;
    bool clock_ = false;
    bool deviceLow_ = false;
    unsigned stuckFallingEdges_ = 0;

    Phase phase_ = Phase::kIdle;
    bool clockedSinceStart_ = false;
    unsigned bit_ = 0;           // bits of the byte under way clocked so far
    uint8_t shift_ = 0;          // the bits sampled so far
    ByteRole role_ = ByteRole::kUndecided;
    uint8_t sending_ = 0;        // the byte the device sends
    bool masterAcknowledged_ = false;
    bool addressedForReading_ = false;
    I2cDevice *device_ = nullptr;
    DeviceMode mode_ = DeviceMode::kNone;  // what the device was told with Start
    std::optional<I2cTransaction> seen_;    // reported to the bus at the next start or stop
};

}  // namespace sim

// A UART-to-I2C bridge on a pseudo-terminal, with an I2C bus behind it. It takes the bridge's
// frames as a stream (a frame may come in pieces, several may come at once):
//   "S" addr n [n bytes when addr is a write] {"S" addr n [...]} "P"   I2C transfer
//   "O" state "P"    set the GPIO port          "I" "P"         read the GPIO port (1 byte)
//   "W" reg value "P" set an internal register   "R" reg ["P"]   read an internal register (1 byte)
// Bytes that start no frame are passed over. Internal register 0 reads 0xF0 (the answer to the
// probe "R" 0x00); the others start at zero. GPIO bit 4 is the I2C data line and bit 5 the clock,
// run through a bit-level model of the same bus; a GPIO read gives the latch with the levels of
// those two lines.
//
// A transfer is a write ("S" w n bytes "P"), a register read ("S" w n pointer "S" r n "P" on one
// device) or a plain read ("S" r n "P"); a transfer the addressed device does not acknowledge
// answers no bytes at all (a real bridge notes it only in its status register), other shapes are
// passed over.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "bus/bit_level_i2c.h"
#include "bus/i2c_bus.h"
#include "serial/pty_endpoint.h"

namespace sim {

class BridgeEmulator {
public:
    // The bridge's UART runs at this rate; a line paced at it (PtyEndpoint::SetPacing) takes the
    // time a real bridge does.
    static constexpr uint32_t kLineBaud = 9600;

    BridgeEmulator();

    // The line a host opens (at 9600 baud), with the record of what came and the answer controls.
    PtyEndpoint &Line() { return line_; }

    // The devices behind the bridge, reached while no frame is being served.
    void WithBus(const std::function<void(I2cBus &)> &action);

    // Told the levels of the bus lines whenever the GPIO port moves them (bit-level transfers).
    void ObserveLines(BitLevelI2c::LineObserver observer);

    // A device stuck in the middle of a byte holds the data line low for this many clock pulses.
    void HoldDataLow(unsigned clockPulses);

    // What the probe reads back instead of 0xF0.
    void SetProbeAnswer(uint8_t value);

    using Answer = std::vector<uint8_t>;

    // The answers to a piece of what a host sent, as the line sends them back; also for a host
    // that carries the bytes itself instead of through the pseudo-terminal.
    std::vector<Answer> Receive(std::span<const uint8_t> piece);

private:
    Answer Transfer(std::span<const uint8_t> frame);
    Answer WriteGpio(std::span<const uint8_t> frame);
    Answer ReadGpio(std::span<const uint8_t> frame);
    Answer WriteInternalRegister(std::span<const uint8_t> frame);
    Answer ReadInternalRegister(std::span<const uint8_t> frame);
    Answer EndOfFrame(std::span<const uint8_t> frame);

    struct FrameKind {
        uint8_t letter;
        size_t length;  // 0: an I2C transfer, whose length its segments give
        bool endsWithP;
        Answer (BridgeEmulator::*serve)(std::span<const uint8_t> frame);
    };
    static const FrameKind kFrameKinds[];

    std::mutex mutex_;
    I2cBus bus_;
    BitLevelI2c lines_{bus_};
    std::array<uint8_t, 256> registers_;
    uint8_t gpioLatch_ = 0;
    std::vector<uint8_t> pending_;  // the start of a frame still coming

    PtyEndpoint line_;  // last: serves once everything above is ready, stops first
};

}  // namespace sim

// A pseudo-terminal pair standing in for a serial line. The code under test opens the slave by
// its path, as it would open a port; the test plays the device on the master. Both ends are raw,
// so every byte passes unchanged.
//
// The pair keeps a descriptor of the slave open for its whole life: the line stays up while the
// port under test is closed and opened again (as the probes do), and what the device sends waits
// on the line until someone reads it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class PseudoTerminal {
public:
    // Throws std::system_error when the system has no pair to give.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    // The device path to open as the port.
    const std::string &SlavePath() const { return slavePath_; }

    // The device's end, for tests that serve the line themselves.
    int MasterFd() const { return master_; }

    // Sends bytes from the device; they become input of the port. Throws std::system_error.
    void Send(std::span<const uint8_t> bytes) const;
    void Send(std::string_view text) const;

    // What the port wrote: up to `count` bytes, as many as come before `timeout` passes.
    std::vector<uint8_t> Receive(size_t count, std::chrono::milliseconds timeout) const;

    // Closes the device's end, as when a device is unplugged: the port sees a hung-up line.
    void HangUp();

    // Bytes waiting as input of the port.
    size_t PortInputWaiting() const;

    // Sent bytes reach the port's input a moment later; this waits until `count` are there.
    // False when `timeout` passed first.
    bool AwaitPortInput(size_t count, std::chrono::milliseconds timeout) const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// One device's commands, from every client and from its sampler, run one at a time in arrival
// order (a ticket queue), so no client can starve another or the sampler. A client that waits
// longer than the executor's patience gives up its place and is told the device is busy; a slow
// client never holds the device, because nothing waits on a client while holding a turn.
#pragma once

#include "client/device.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string_view>

// The device could not be reached in time: other commands held it past the bound.
struct DeviceBusy : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The device left the service (an adapter supply unplugged) or the service is stopping.
struct DeviceGone : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A command that changes a setting: everything that is not a plain query. "MATCH=1" and every
// NAME=value are settings; so is anything not starting with '?', which the read-only rule must
// not let through on the chance that a supply understands it.
bool ChangesSetting(std::string_view command);

// The longest command the library takes (its buffers are 100 bytes with the terminator).
inline constexpr size_t kLongestCommand = MAVOZARP_BUFFER_SIZE - 1;

// Whether a command may be sent at all: printable ASCII, not empty, not too long. The reason
// when not, or empty.
std::string CommandProblem(std::string_view command);

struct CommandCounts {
    uint64_t total = 0;
    std::map<int32_t, uint64_t> failuresByStatus;
};

class CommandExecutor {
public:
    CommandExecutor(MavoZARP_Handle handle, std::chrono::milliseconds patience);

    // One command in its turn. Throws DeviceBusy or DeviceGone.
    Exchange Send(std::string_view command);

    // No more commands: waiting and later clients get DeviceGone.
    void Retire();
    bool Retired() const { return retired_; }

    // The last command's outcome tells whether the device answers (a command's own refusal,
    // invalid command or data, still means it answers).
    bool Answering() const { return answering_; }
    CommandCounts Counts() const;

private:
    class Turn;

    MavoZARP_Handle handle_;
    std::chrono::milliseconds patience_;
    std::atomic<bool> retired_{false};
    std::atomic<bool> answering_{true};

    mutable std::mutex mutex_;
    std::condition_variable turnChanged_;
    uint64_t nextTicket_ = 0;
    uint64_t serving_ = 0;
    std::set<uint64_t> abandoned_;  // tickets whose holders gave up waiting
    CommandCounts counts_;
};

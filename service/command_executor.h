// A device's own executor: its commands, from every client and from its sampler, run in arrival
// order on a thread of the device's own, so no device ever waits on another device's queue or
// thread (the library's lock still makes devices of one process take turns for each call, which
// is why the service puts slow devices in processes of their own). A batch that cannot have its
// turn within the executor's patience is told Busy at its deadline, even while the device is
// stuck in a command: nothing waits on a client while holding the device, and no client waits on
// the device longer than the patience for its turn.
#pragma once

#include "device_link.h"
#include "event_loop.h"

#include <MavoZARP.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A command that changes a setting: everything that is not a plain query. "MATCH=1" and every
// NAME=value are settings; so is anything not starting with '?', which the read-only rule must
// not let through on the chance that a supply understands it.
bool ChangesSetting(std::string_view command);

// The longest command the library takes (its buffers are 100 bytes with the terminator).
inline constexpr size_t kLongestCommand = MAVOZARP_BUFFER_SIZE - 1;

// Whether a command may be sent at all: printable ASCII, not empty, not too long. The reason
// when not, or empty.
std::string CommandProblem(std::string_view command);

// The commands of a batch on a handle, as the batch's mode says.
std::vector<Exchange> RunBatch(MavoZARP_Handle handle, const CommandBatch &batch);

class CommandExecutor final : public DeviceLink {
public:
    // OwnThread: a queue and a thread of the device's own. Caller: each batch runs at once on the
    // thread that submits it, which only a head that cannot stall (the simulated head), alone
    // with the library in its process, may do: it spares two hand-overs between threads.
    enum class Place { OwnThread, Caller };

    // The executor owns the handle from here on and closes it at the end (not the simulated
    // head's). Results are posted to `loop`, which must outlive the executor.
    CommandExecutor(MavoZARP_Handle handle, EventLoop &loop, std::chrono::milliseconds patience,
                    Place place);
    // Retires, waits for the command running now, closes the handle.
    ~CommandExecutor() override;
    CommandExecutor(const CommandExecutor &) = delete;
    CommandExecutor &operator=(const CommandExecutor &) = delete;

    void Submit(CommandBatch batch, BatchDone done) override;
    void Retire() override;

private:
    struct Queue;  // shared with the thread and the patience timer

    MavoZARP_Handle handle_;
    Place place_;
    std::shared_ptr<Queue> queue_;
    std::thread thread_;  // OwnThread only
};

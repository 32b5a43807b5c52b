// How every door of the service reaches a device: a batch of commands submitted to the device's
// own queue, its result posted back to the event loop, one exchange per command sent. The device
// may run in this process (its executor) or in a worker process (over the worker's channel); the
// doors cannot tell. Whether a client may send a command at all is the door's question, asked
// before it submits.
#pragma once

#include "client/device.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Every: each command is sent whatever became of the ones before (a sampler round, a status
// panel). UntilFailure: the commands after the first failing one are not sent (they may rely on
// it: a key switch before a mode change).
enum class BatchMode : uint8_t { Every = 0, UntilFailure = 1 };

struct CommandBatch {
    std::vector<std::string> commands;
    BatchMode mode = BatchMode::Every;
};

// Ran: the batch had its turn (each command's own status is in its exchange). Busy: it could not
// have its turn within the device's patience, or the device's worker is restarting; nothing of it
// ran. Gone: the device left the service, or the service is stopping; nothing of it ran.
enum class BatchOutcome : uint8_t { Ran = 0, Busy = 1, Gone = 2 };

struct BatchResult {
    BatchOutcome outcome = BatchOutcome::Ran;
    std::string why;                  // for Busy and Gone: a sentence for the client
    std::vector<Exchange> exchanges;  // for Ran: one per command sent, in order
};

using BatchDone = std::function<void(BatchResult)>;

class DeviceLink {
public:
    virtual ~DeviceLink() = default;

    // Queues the batch behind the device's earlier ones; `done` runs once, on the event loop,
    // never within this call. Any thread.
    virtual void Submit(CommandBatch batch, BatchDone done) = 0;

    // Nothing more runs: waiting and later batches are told Gone.
    virtual void Retire() = 0;
};

// A result that ran nothing.
inline BatchResult Refused(BatchOutcome outcome, std::string why) {
    return BatchResult{outcome, std::move(why), {}};
}

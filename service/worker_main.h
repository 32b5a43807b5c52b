// The worker mode of the program: the devices of one duty (the supply on one serial port, or every
// supply on the adapters, rescanned) in a process of their own, each with its executor, serving
// the batches the service submits over the channel until the service closes it. The service's
// supervisor (worker_supervisor.h) starts it; nobody else does.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

struct WorkerDuty {
    std::optional<std::string> port;  // the supply on this serial port
    bool adapters = false;            // or every supply on the adapters
    std::chrono::milliseconds rescanInterval{2000};
    std::chrono::milliseconds patience{2000};
};

// The worker's command line for a duty, after the worker mode and the channel's name.
std::vector<std::string> WorkerArguments(const WorkerDuty &duty);

// `argv` as the program got it: the program, the worker mode, the channel's name, the duty.
// Returns the process's exit status.
int RunServeWorker(int argc, char **argv);

// A worker process and its private channel, the part that differs between systems: the worker
// is this program started again in its hidden worker mode, with one end of a channel it inherits
// (a socket pair on POSIX, a pipe on Windows; never a network port) and nothing else of ours. The
// worker ends by itself when the service is gone: its channel's end closes, and on Linux the
// kernel kills it when the service dies (PR_SET_PDEATHSIG). POSIX here (`_posix`), Windows in
// `_win32`.
#pragma once

#include <boost/asio/io_context.hpp>
#if defined(_WIN32)
#include <boost/asio/windows/stream_handle.hpp>
#else
#include <boost/asio/posix/stream_descriptor.hpp>
#endif

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if defined(_WIN32)
using ChannelStream = boost::asio::windows::stream_handle;
#else
using ChannelStream = boost::asio::posix::stream_descriptor;
#endif

// The first argument that starts this program as a worker rather than as the tool.
inline constexpr char kWorkerMode[] = "--serve-worker";

class WorkerProcess {
public:
    // Starts the worker with `arguments` after the worker mode and the channel's name; its end of
    // the channel is returned on `loop`. Throws std::runtime_error saying why it cannot.
    static std::unique_ptr<WorkerProcess> Start(boost::asio::io_context &loop,
                                                const std::vector<std::string> &arguments);
    ~WorkerProcess();  // kills and reaps a worker still running
    WorkerProcess(const WorkerProcess &) = delete;
    WorkerProcess &operator=(const WorkerProcess &) = delete;

    int64_t Pid() const;
    ChannelStream &Channel();

    // Once the worker has ended: how ("exited with status 3", "killed by signal 9 (Killed)") and
    // its exit status (nothing when a signal ended it). Never blocks.
    struct Ending {
        std::string how;
        std::optional<int> status;
    };
    std::optional<Ending> Ended();
    void Kill();

    struct System;  // the system's own handles

private:
    explicit WorkerProcess(std::unique_ptr<System> system);
    std::unique_ptr<System> system_;
};

// In the worker: the channel named on its command line, on `loop`. Throws std::runtime_error.
ChannelStream InheritedChannel(boost::asio::io_context &loop, const std::string &name);

// In the worker: the service's stop requests (a console's Ctrl+C, SIGINT and SIGTERM sent to the
// whole process group) are the service's to handle, which then closes the channel; and the worker
// ends the moment the service `parent` dies (Linux; elsewhere the channel's end tells).
void LeaveStopRequestsToTheService(int64_t parent);

// This process's id, for its workers to know their service by.
int64_t ThisProcessId();

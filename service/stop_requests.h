// What asks the service to stop: SIGINT and SIGTERM; on Windows Ctrl+C, Ctrl+Break, closing the
// console and the system shutting down. Made before the service opens anything, so that a request
// during start-up stops it cleanly too.
#pragma once

#include <boost/asio/io_context.hpp>

#include <memory>

class StopRequests {
public:
    // Requests are taken from here on, and no longer end the process at once (the signals are
    // handled on `loop`).
    explicit StopRequests(boost::asio::io_context &loop);
    // After the loop has stopped.
    ~StopRequests();
    StopRequests(const StopRequests &) = delete;
    StopRequests &operator=(const StopRequests &) = delete;

    // Blocks until a request arrives.
    void Wait();

private:
    struct Source;  // the system's own: signals, or the console's control events
    std::unique_ptr<Source> source_;
};

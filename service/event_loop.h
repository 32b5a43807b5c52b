// The service's one event loop: every socket (HTTP, event streams, instrument sockets, worker
// channels), timer and stop signal runs on one thread, so no client can hold a thread of its own.
// Nothing on it waits for a device: each device runs its commands on its own (its executor, or
// its worker process) and posts the result back here.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class EventLoop {
public:
    EventLoop();
    ~EventLoop();  // Stop() if not done
    EventLoop(const EventLoop &) = delete;
    EventLoop &operator=(const EventLoop &) = delete;

    boost::asio::io_context &Context() { return context_; }

    // Runs `handler` on the loop, from any thread; dropped once the loop has stopped, so a device
    // finishing a command while the service stops never touches what has gone.
    template <typename Handler>
    void Post(Handler handler) {
        std::lock_guard lock(postMutex_);
        if (!stopped_) boost::asio::post(context_, std::move(handler));
    }

    bool OnLoopThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    // Called on the loop when Stop() begins (listeners close their sockets and connections).
    void AtStop(std::function<void()> closeAll);

    // Closes every listener and connection and ends the loop's thread.
    void Stop();

private:
    // Before the context: posts from a device thread still check it while the context goes.
    std::mutex postMutex_;
    bool stopped_ = false;
    boost::asio::io_context context_;
    std::vector<std::function<void()>> closers_;  // on the loop thread only
    std::thread thread_;
};

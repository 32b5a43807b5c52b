// The service's one event loop: every socket (HTTP, event streams, instrument sockets), timer and
// stop signal runs on one thread, so no client can hold a thread of its own. What may block on
// a device (a command in its turn, a status read) runs on a small pool of threads beside it and
// hands its result back to the loop.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <functional>
#include <thread>
#include <vector>

class EventLoop {
public:
    explicit EventLoop(size_t deviceThreads);
    ~EventLoop();  // Stop() if not done
    EventLoop(const EventLoop &) = delete;
    EventLoop &operator=(const EventLoop &) = delete;

    boost::asio::io_context &Context() { return context_; }

    // Runs `work` on a device thread, then `done` with its result on the loop.
    template <typename Result>
    void OnDevice(std::function<Result()> work, std::function<void(Result)> done) {
        boost::asio::post(devices_, [this, work = std::move(work), done = std::move(done)]() mutable {
            auto result = std::make_shared<Result>(work());
            boost::asio::post(context_, [done = std::move(done), result] { done(std::move(*result)); });
        });
    }

    // Called on the loop when Stop() begins (listeners close their sockets and connections).
    void AtStop(std::function<void()> closeAll);

    // Closes every listener and connection, lets the device threads finish their work (bounded by
    // the executors' patience) and ends the loop's thread.
    void Stop();

private:
    boost::asio::io_context context_;
    boost::asio::thread_pool devices_;
    std::vector<std::function<void()>> closers_;  // on the loop thread only
    std::thread thread_;
    bool stopped_ = false;
};

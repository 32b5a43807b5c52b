#include "event_loop.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <future>

EventLoop::EventLoop(size_t deviceThreads)
    : devices_(deviceThreads) {
    thread_ = std::thread([this] {
        const auto busy = boost::asio::make_work_guard(context_);
        context_.run();
    });
}

EventLoop::~EventLoop() { Stop(); }

void EventLoop::AtStop(std::function<void()> closeAll) {
    boost::asio::post(context_, [this, closeAll = std::move(closeAll)] { closers_.push_back(closeAll); });
}

void EventLoop::Stop() {
    if (stopped_) return;
    stopped_ = true;
    std::promise<void> closed;
    boost::asio::post(context_, [this, &closed] {
        for (const auto &closeAll : closers_) closeAll();
        closed.set_value();
    });
    closed.get_future().wait();
    devices_.join();  // their results go to connections already closed
    context_.stop();
    thread_.join();
}

#include "event_loop.h"

#include <boost/asio/executor_work_guard.hpp>

#include <future>

EventLoop::EventLoop() {
    thread_ = std::thread([this] {
        const auto busy = boost::asio::make_work_guard(context_);
        context_.run();
    });
}

EventLoop::~EventLoop() { Stop(); }

void EventLoop::AtStop(std::function<void()> closeAll) {
    Post([this, closeAll = std::move(closeAll)] { closers_.push_back(closeAll); });
}

void EventLoop::Stop() {
    {
        std::lock_guard lock(postMutex_);
        if (stopped_) return;
    }
    std::promise<void> closed;
    boost::asio::post(context_, [this, &closed] {
        for (const auto &closeAll : closers_) closeAll();
        closed.set_value();
    });
    closed.get_future().wait();
    {
        std::lock_guard lock(postMutex_);
        stopped_ = true;
    }
    context_.stop();
    thread_.join();
}

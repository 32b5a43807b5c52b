#include "event_loop.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>

EventLoop::EventLoop(size_t deviceThreads)
    : devices_(deviceThreads), stopSignals_(context_, SIGINT, SIGTERM) {
    stopSignals_.async_wait([this](const boost::system::error_code &error, int) {
        if (!error) stopSignalled_.set_value();
    });
    thread_ = std::thread([this] {
        const auto busy = boost::asio::make_work_guard(context_);
        context_.run();
    });
}

EventLoop::~EventLoop() { Stop(); }

void EventLoop::AtStop(std::function<void()> closeAll) {
    boost::asio::post(context_, [this, closeAll = std::move(closeAll)] { closers_.push_back(closeAll); });
}

void EventLoop::WaitForStopSignal() { stopSignalled_.get_future().wait(); }

void EventLoop::Stop() {
    if (stopped_) return;
    stopped_ = true;
    std::promise<void> closed;
    boost::asio::post(context_, [this, &closed] {
        stopSignals_.cancel();
        for (const auto &closeAll : closers_) closeAll();
        closed.set_value();
    });
    closed.get_future().wait();
    devices_.join();  // their results go to connections already closed
    context_.stop();
    thread_.join();
}

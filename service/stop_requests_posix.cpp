#include "stop_requests.h"

#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <future>

#include <pthread.h>

struct StopRequests::Source {
    explicit Source(boost::asio::io_context &loop) : signals(loop, SIGINT, SIGTERM) {}

    boost::asio::signal_set signals;
    std::promise<void> requested;
};

StopRequests::StopRequests(boost::asio::io_context &loop) {
    // A parent may have blocked the stop signals; the service's threads, made from here on, take
    // them whatever it inherited.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    source_ = std::make_unique<Source>(loop);
    source_->signals.async_wait([source = source_.get()](const boost::system::error_code &error, int) {
        if (!error) source->requested.set_value();
    });
}

StopRequests::~StopRequests() = default;

void StopRequests::Wait() { source_->requested.get_future().wait(); }

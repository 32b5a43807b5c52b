#include "listener.h"

#include "listening_socket.h"

#include <utility>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

ListenerSeat::ListenerSeat(ListenerSeat &&other) noexcept
    : listener_(std::move(other.listener_)), id_(std::exchange(other.id_, kRefusal)) {}

ListenerSeat &ListenerSeat::operator=(ListenerSeat &&other) noexcept {
    if (this != &other) {
        Leave();
        listener_ = std::move(other.listener_);
        id_ = std::exchange(other.id_, kRefusal);
    }
    return *this;
}

void ListenerSeat::OnDismiss(std::function<void()> dismiss) {
    if (listener_ && id_ != kRefusal) listener_->table_.SetClose(id_, std::move(dismiss));
}

void ListenerSeat::SetIdle(bool idle) {
    if (listener_ && id_ != kRefusal) listener_->table_.SetIdle(id_, idle);
}

void ListenerSeat::Leave() {
    const std::shared_ptr<Listener> listener = std::move(listener_);
    if (!listener) return;
    if (id_ == kRefusal) {
        --listener->refusing_;
    } else {
        listener->table_.Remove(id_);
    }
}

Listener::Listener(asio::io_context &context, ListenerOptions options, Admitted admitted, Refused refused)
    : acceptor_(context),
      acceptRetry_(context),
      options_(options),
      admitted_(std::move(admitted)),
      refused_(std::move(refused)),
      table_(options.bounds) {}

uint16_t Listener::Listen(const std::string &address, uint16_t port) {
    port_ = OpenListeningSocket(acceptor_, address, port);
    return port_;
}

void Listener::StartAccepting() {
    asio::post(acceptor_.get_executor(), [self = shared_from_this()] { self->Accept(); });
}

void Listener::Close() {
    closing_ = true;
    ErrorCode ignored;
    acceptor_.close(ignored);
    acceptRetry_.cancel();
    table_.CloseAll();
}

void Listener::Accept() {
    acceptor_.async_accept([self = shared_from_this()](ErrorCode error, tcp::socket socket) {
        if (self->closing_ || error == asio::error::operation_aborted) return;
        if (error) {
            // Out of descriptors: an idle connection makes room; never a busy loop of accepts.
            const bool shed = self->table_.ShedOne();
            self->acceptRetry_.expires_after(std::chrono::milliseconds(shed ? 1 : 100));
            self->acceptRetry_.async_wait([self](ErrorCode waited) {
                if (!waited && !self->closing_) self->Accept();
            });
            return;
        }
        self->Take(std::move(socket));
        self->Accept();
    });
}

void Listener::Take(tcp::socket socket) {
    ErrorCode unknown;
    const std::string address = socket.remote_endpoint(unknown).address().to_string();
    socket.set_option(tcp::no_delay(true), unknown);
    if (const std::optional<uint64_t> id = table_.Admit(address)) {
        return admitted_(std::move(socket), address, ListenerSeat(shared_from_this(), *id));
    }
    // Beyond the few being told, a connection is closed as it goes.
    if (!refused_ || refusing_ >= options_.mostRefused) return;
    ++refusing_;
    refused_(std::move(socket), ListenerSeat(shared_from_this(), ListenerSeat::kRefusal));
}

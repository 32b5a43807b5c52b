#include "http_server.h"

#include "listening_socket.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <deque>
#include <sstream>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

namespace {

constexpr size_t kReadChunk = 4096;
// Connections being told 503 are bounded too: beyond this they are closed unanswered.
constexpr size_t kMostRefusing = 64;
constexpr auto kRefusalTime = std::chrono::seconds(1);
constexpr auto kStreamTick = std::chrono::seconds(1);

std::string Chunk(std::string_view data) {
    std::ostringstream chunk;
    chunk << std::hex << data.size() << "\r\n" << data << "\r\n";
    return chunk.str();
}

// What a request that could not be read is told before its connection closes.
struct ReadFailure {
    http::error error;
    int status;
    const char *name;
    const char *message;
};

constexpr ReadFailure kReadFailures[] = {
    {http::error::body_limit, 413, "too-large", "the request body is too large"},
    {http::error::header_limit, 431, "too-large", "the request's headers are too large"},
    {http::error::buffer_overflow, 431, "too-large", "the request's headers are too large"},
};

}  // namespace

struct HttpServer::State {
    EventLoop &loop;
    HttpLimits limits;
    Handler handler;
    tcp::acceptor acceptor;
    asio::steady_timer acceptRetry;
    ConnectionTable table;
    size_t refusing = 0;
    bool stopping = false;

    State(EventLoop &loop, HttpLimits limits, Handler handler)
        : loop(loop),
          limits(limits),
          handler(std::move(handler)),
          acceptor(loop.Context()),
          acceptRetry(loop.Context()),
          table(limits.connections) {}
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, std::shared_ptr<HttpServer::State> server)
        : server_(std::move(server)),
          stream_(std::move(socket)),
          buffer_(server_->limits.headerBytes + kReadChunk),
          ticks_(stream_.get_executor()) {}

    void Start(const std::string &address) {
        const std::weak_ptr<Connection> weak = weak_from_this();
        const std::optional<uint64_t> id = server_->table.Admit(address, [weak] {
            if (const auto self = weak.lock()) self->Close();
        });
        if (!id) return Refuse();
        id_ = *id;
        stream_.socket().set_option(tcp::no_delay(true));
        WaitForRequest(server_->limits.request);
    }

private:
    // Between requests: idle, and the first to go when room is needed.
    void WaitForRequest(std::chrono::seconds patience) {
        server_->table.SetIdle(id_, true);
        if (buffer_.size() > 0) return ReadRequest();  // pipelined: already here
        stream_.expires_after(patience);
        stream_.async_read_some(buffer_.prepare(kReadChunk),
                                [self = shared_from_this()](ErrorCode error, size_t received) {
                                    if (error) return self->Close();
                                    self->buffer_.commit(received);
                                    self->ReadRequest();
                                });
    }

    // From its first byte a request has one deadline for its headers and body together, and its
    // memory is bounded before any header is looked at.
    void ReadRequest() {
        server_->table.SetIdle(id_, false);
        stream_.expires_after(server_->limits.request);
        parser_.emplace();
        parser_->header_limit(static_cast<uint32_t>(server_->limits.headerBytes));
        parser_->body_limit(server_->limits.bodyBytes);
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](ErrorCode error, size_t) {
            self->OnRequest(error);
        });
    }

    void OnRequest(ErrorCode error) {
        if (error) {
            const auto failure = std::find_if(std::begin(kReadFailures), std::end(kReadFailures),
                                              [&](const ReadFailure &f) { return error == f.error; });
            if (failure != std::end(kReadFailures))
                return Send(ErrorResponse(failure->status, failure->name, failure->message), false);
            if (error.category() == ErrorCode(http::error::end_of_stream).category() &&
                error != http::error::end_of_stream && error != http::error::partial_message) {
                return Send(ErrorResponse(400, "bad-request", "the request could not be read"), false);
            }
            return Close();  // gone, or past its deadline
        }
        stream_.expires_never();
        http::request<http::string_body> message = parser_->release();
        keepAlive_ = message.keep_alive();
        head_ = message.method() == http::verb::head;
        HttpRequest request;
        request.method = std::string(message.method_string());
        const std::string_view target(message.target().data(), message.target().size());
        const size_t question = std::min(target.find('?'), target.size());
        request.path = PercentDecoded(target.substr(0, question), false);
        request.query = std::string(target.substr(std::min(question + 1, target.size())));
        for (const auto &field : message) request.headers.emplace_back(field.name_string(), field.value());
        request.body = std::move(message.body());
        server_->handler(std::move(request), [self = shared_from_this()](HttpResponse response) {
            if (response.stream) return self->StartStream(std::move(response));
            self->Send(std::move(response), self->keepAlive_);
        });
    }

    http::response<http::string_body> Message(HttpResponse &response, bool keepAlive) const {
        http::response<http::string_body> message{static_cast<http::status>(response.status), 11};
        for (const auto &[name, value] : response.headers) message.insert(name, value);
        if (!response.contentType.empty()) message.set(http::field::content_type, response.contentType);
        if (response.status == 503) message.set(http::field::retry_after, "1");
        message.body() = std::move(response.body);
        message.keep_alive(keepAlive);
        if (keepAlive) {
            message.set("Keep-Alive", "timeout=" + std::to_string(server_->limits.keepAlive.count()));
        }
        message.prepare_payload();
        return message;
    }

    void Send(HttpResponse response, bool keepAlive) {
        if (closed_) return;
        keepAlive = keepAlive && !server_->stopping;
        auto message = std::make_shared<http::response<http::string_body>>(Message(response, keepAlive));
        if (head_) {
            const auto length = message->body().size();
            message->body().clear();
            message->content_length(length);
        }
        stream_.expires_after(server_->limits.write);
        http::async_write(stream_, *message, [self = shared_from_this(), message, keepAlive](ErrorCode error, size_t) {
            if (error || !keepAlive) return self->Close();
            // A client told "timeout=N" may reuse the connection until then: a second more is
            // given, so that its last request never meets a closing connection.
            self->WaitForRequest(self->server_->limits.keepAlive + std::chrono::seconds(1));
        });
    }

    void StartStream(HttpResponse response) {
        if (closed_) return;
        events_ = std::move(*response.stream);
        http::response<http::empty_body> head{http::status::ok, 11};
        for (const auto &[name, value] : response.headers) head.insert(name, value);
        head.set(http::field::content_type, "text/event-stream");
        head.chunked(true);
        std::ostringstream text;
        text << head.base();
        outgoing_.push_back(text.str());
        const std::weak_ptr<Connection> weak = weak_from_this();
        asio::io_context &context = server_->loop.Context();
        events_->events->OnArrival([weak, &context] {
            asio::post(context, [weak] {
                if (const auto self = weak.lock()) self->TakeEvents();
            });
        });
        WatchForHangUp();
        Tick();
        Pump();
    }

    // A stream's client has nothing more to say: data is dropped, its end closes the stream.
    void WatchForHangUp() {
        stream_.socket().async_read_some(asio::buffer(discard_),
                                         [self = shared_from_this()](ErrorCode error, size_t) {
                                             if (error) return self->Close();
                                             self->WatchForHangUp();
                                         });
    }

    void Tick() {
        ticks_.expires_after(kStreamTick);
        ticks_.async_wait([self = shared_from_this()](ErrorCode error) {
            if (error || self->closed_) return;
            if (const std::optional<std::string> last = self->events_->ending()) {
                self->outgoing_.push_back(Chunk(*last));
                self->outgoing_.push_back("0\r\n\r\n");
                self->ending_ = true;
                return self->Pump();
            }
            const std::string keepAlive = self->events_->events->KeepAlive();
            if (!keepAlive.empty() && self->outgoing_.empty()) self->outgoing_.push_back(Chunk(keepAlive));
            self->Pump();
            self->Tick();
        });
    }

    // Events are taken from the queue only when what was taken before is written: a client that
    // does not read holds at most the queue's few events, and loses its connection at the write
    // deadline.
    void TakeEvents() {
        if (closed_ || ending_ || writing_ || !outgoing_.empty()) return;
        while (const std::optional<std::string> event = events_->events->Pop()) outgoing_.push_back(Chunk(*event));
        if (!outgoing_.empty()) Pump();
    }

    void Pump() {
        if (writing_ || closed_) return;
        if (outgoing_.empty()) {
            if (ending_) return Close();
            return TakeEvents();
        }
        writing_ = true;
        stream_.expires_after(server_->limits.write);
        asio::async_write(stream_, asio::buffer(outgoing_.front()),
                          [self = shared_from_this()](ErrorCode error, size_t) {
                              self->writing_ = false;
                              if (error) return self->Close();
                              self->outgoing_.pop_front();
                              self->Pump();
                          });
    }

    // The listener is full: told so briefly, then closed.
    void Refuse() {
        if (server_->refusing >= kMostRefusing) return;
        ++server_->refusing;
        refused_ = true;
        HttpResponse busy = ErrorResponse(503, "busy", "the service has too many connections");
        auto message = std::make_shared<http::response<http::string_body>>(Message(busy, false));
        stream_.expires_after(kRefusalTime);
        http::async_write(stream_, *message, [self = shared_from_this(), message](ErrorCode, size_t) {
            ErrorCode ignored;
            self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
            self->Close();
        });
    }

    void Close() {
        if (closed_) return;
        closed_ = true;
        if (refused_) --server_->refusing;
        server_->table.Remove(id_);
        ErrorCode ignored;
        ticks_.cancel();
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
        if (events_) events_->events->OnArrival(nullptr);
        events_.reset();  // the subscription ends
    }

    std::shared_ptr<HttpServer::State> server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    uint64_t id_ = 0;
    bool keepAlive_ = false, head_ = false, closed_ = false, refused_ = false;
    // Event stream
    std::optional<EventStream> events_;
    std::deque<std::string> outgoing_;
    bool writing_ = false, ending_ = false;
    asio::steady_timer ticks_;
    char discard_[512];
};

void Accept(const std::shared_ptr<HttpServer::State> &server) {
    server->acceptor.async_accept([server](ErrorCode error, tcp::socket socket) {
        if (server->stopping || error == asio::error::operation_aborted) return;
        if (error) {
            // Out of descriptors: an idle connection makes room; never a busy loop of accepts.
            const bool shed = server->table.ShedOne();
            server->acceptRetry.expires_after(std::chrono::milliseconds(shed ? 1 : 100));
            server->acceptRetry.async_wait([server](ErrorCode waited) {
                if (!waited) Accept(server);
            });
            return;
        }
        ErrorCode unknown;
        const std::string address = socket.remote_endpoint(unknown).address().to_string();
        std::make_shared<Connection>(std::move(socket), server)->Start(address);
        Accept(server);
    });
}

}  // namespace

HttpServer::HttpServer(EventLoop &loop, HttpLimits limits, Handler handler)
    : state_(std::make_shared<State>(loop, limits, std::move(handler))) {
    loop.AtStop([state = state_] {
        state->stopping = true;
        ErrorCode ignored;
        state->acceptor.close(ignored);
        state->acceptRetry.cancel();
        state->table.CloseAll();
    });
}

uint16_t HttpServer::Listen(const std::string &address, uint16_t port) {
    return OpenListeningSocket(state_->acceptor, address, port);
}

void HttpServer::StartAccepting() {
    asio::post(state_->loop.Context(), [state = state_] { Accept(state); });
}

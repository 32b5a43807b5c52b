#include "http_server.h"

#if MAVOZARP_SERVICE_TLS
#include "tls_transport.h"
#endif

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
constexpr int kStreamSendBuffer = 16 * 1024;  // the kernel may double it

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

// A request body's framing the parser reads: none, Content-Length, or chunked alone. Anything
// else (gzip, chunked) would hand the routes a body still encoded.
bool ChunkedAtMost(const http::request_header<> &header) {
    size_t codings = 0;
    bool chunked = true;
    for (const auto &field : header) {
        if (field.name() != http::field::transfer_encoding) continue;
        for (const auto coding : http::token_list(field.value())) {
            ++codings;
            chunked = chunked && beast::iequals(coding, "chunked");
        }
    }
    return codings <= 1 && chunked;
}

}  // namespace

struct HttpServer::State {
    EventLoop &loop;
    HttpLimits limits;
    std::shared_ptr<TlsContext> tls;
    Handler handler;
    std::shared_ptr<Listener> listener;
    bool stopping = false;

    State(EventLoop &loop, HttpLimits limits, std::shared_ptr<TlsContext> tls, Handler handler)
        : loop(loop), limits(limits), tls(std::move(tls)), handler(std::move(handler)) {}
};

namespace {

// HTTP straight on the socket: nothing before the first request or after the last reply.
struct PlainTransport {
    using Stream = beast::tcp_stream;

    static Stream Open(tcp::socket socket) { return Stream(std::move(socket)); }

    template <class Done>
    static void Handshake(Stream &, Done done) {
        done(ErrorCode());
    }

    template <class Done>
    static void Goodbye(Stream &, Done done) {
        done();
    }
};

// One connection of the server over TRANSPORT (PlainTransport, TlsTransport).
template <class Transport>
class Connection : public std::enable_shared_from_this<Connection<Transport>> {
public:
    Connection(typename Transport::Stream stream, std::shared_ptr<HttpServer::State> server, ListenerSeat seat)
        : server_(std::move(server)),
          seat_(std::move(seat)),
          stream_(std::move(stream)),
          buffer_(server_->limits.headerBytes + kReadChunk),
          ticks_(stream_.get_executor()) {}

    // Until its handshake is over a connection counts as idle: one that never finishes it is
    // the first to go when room is needed, as one that never begins a request.
    void Start(std::string address) {
        address_ = std::move(address);
        seat_.OnDismiss([weak = this->weak_from_this()] {
            if (const auto self = weak.lock()) self->Close();
        });
        Lowest().expires_after(server_->limits.handshake);
        Transport::Handshake(stream_, [self = Self()](ErrorCode error) {
            if (error) return self->Close();
            self->WaitForRequest(self->server_->limits.request);
        });
    }

    // The listener is full: told so briefly, then closed.
    void Refuse() {
        Lowest().expires_after(kRefusalTime);
        Transport::Handshake(stream_, [self = Self()](ErrorCode error) {
            if (error) return self->Close();
            HttpResponse busy = ErrorResponse(503, "busy", "the service has too many connections");
            auto message = std::make_shared<http::response<http::string_body>>(self->Message(busy, false));
            http::async_write(self->stream_, *message, [self, message](ErrorCode written, size_t) {
                if (written) return self->Close();
                self->Finish();
            });
        });
    }

private:
    std::shared_ptr<Connection> Self() { return this->shared_from_this(); }
    beast::tcp_stream &Lowest() { return beast::get_lowest_layer(stream_); }

    // Between requests: idle, and the first to go when room is needed.
    void WaitForRequest(std::chrono::seconds patience) {
        seat_.SetIdle(true);
        if (buffer_.size() > 0) return ReadRequest();  // pipelined: already here
        Lowest().expires_after(patience);
        stream_.async_read_some(buffer_.prepare(kReadChunk),
                                [self = Self()](ErrorCode error, size_t received) {
                                    if (error) return self->Close();
                                    self->buffer_.commit(received);
                                    self->ReadRequest();
                                });
    }

    // From its first byte a request has one deadline for its headers and body together, and its
    // memory is bounded before any header is looked at. The headers are read first: a client
    // that asked to be told before it sends its body is told, and a body in a coding the service
    // cannot read is refused unread.
    void ReadRequest() {
        seat_.SetIdle(false);
        Lowest().expires_after(server_->limits.request);
        head_ = false;
        parser_.emplace();
        parser_->header_limit(static_cast<uint32_t>(server_->limits.headerBytes));
        parser_->body_limit(server_->limits.bodyBytes);
        http::async_read_header(stream_, buffer_, *parser_, [self = Self()](ErrorCode error, size_t) {
            self->OnHeader(error);
        });
    }

    void OnHeader(ErrorCode error) {
        if (error) return ReadFailed(error);
        const auto &header = parser_->get();
        version_ = header.version();
        keepAlive_ = header.keep_alive();
        head_ = header.method() == http::verb::head;
        if (!ChunkedAtMost(header)) {
            return Send(ErrorResponse(501, "not-implemented",
                                      "the body's transfer coding is not supported (chunked alone is)"),
                        false);
        }
        if (!parser_->is_done() && version_ >= 11 &&
            beast::iequals(header[http::field::expect], "100-continue")) {
            static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            return asio::async_write(stream_, asio::buffer(kContinue),
                                     [self = Self()](ErrorCode written, size_t) {
                                         if (written) return self->Close();
                                         self->ReadBody();
                                     });
        }
        ReadBody();
    }

    void ReadBody() {
        http::async_read(stream_, buffer_, *parser_, [self = Self()](ErrorCode error, size_t) {
            if (error) return self->ReadFailed(error);
            self->OnRequest();
        });
    }

    void ReadFailed(ErrorCode error) {
        const auto failure = std::find_if(std::begin(kReadFailures), std::end(kReadFailures),
                                          [&](const ReadFailure &f) { return error == f.error; });
        if (failure != std::end(kReadFailures))
            return Send(ErrorResponse(failure->status, failure->name, failure->message), false);
        if (error.category() == ErrorCode(http::error::end_of_stream).category() &&
            error != http::error::end_of_stream && error != http::error::partial_message) {
            return Send(ErrorResponse(400, "bad-request", "the request could not be read"), false);
        }
        Close();  // gone, or past its deadline
    }

    void OnRequest() {
        Lowest().expires_never();
        http::request<http::string_body> message = parser_->release();
        const std::optional<RequestTarget> target =
            ReadRequestTarget(std::string_view(message.target().data(), message.target().size()));
        if (!target) {
            return Send(ErrorResponse(400, "bad-request", "the request target is neither a path nor an http(s) URL"),
                        false);
        }
        HttpRequest request;
        request.method = std::string(message.method_string());
        request.path = target->path;
        request.query = target->query;
        for (const auto &field : message) {
            if (target->authority && field.name() == http::field::host) continue;
            request.headers.emplace_back(field.name_string(), field.value());
        }
        if (target->authority) request.headers.emplace_back("Host", *target->authority);
        request.body = std::move(message.body());
        request.client = address_;
        server_->handler(std::move(request), [self = Self()](HttpResponse response) {
            if (!response.stream) return self->Send(std::move(response), self->keepAlive_);
            if (self->head_) return self->SendStreamHead(std::move(response));
            self->StartStream(std::move(response));
        });
    }

    http::response<http::string_body> Message(HttpResponse &response, bool keepAlive) const {
        http::response<http::string_body> message{static_cast<http::status>(response.status), 11};
        for (const auto &[name, value] : response.headers) message.insert(name, value);
        if (!response.contentType.empty()) message.set(http::field::content_type, response.contentType);
        if (response.status == 503) message.set(http::field::retry_after, "1");
        message.body() = std::move(response.body);
        message.keep_alive(keepAlive);
        if (keepAlive) message.set("Keep-Alive", KeepAliveTimeout());
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
        Lowest().expires_after(server_->limits.write);
        http::async_write(stream_, *message, [self = Self(), message, keepAlive](ErrorCode error, size_t) {
            self->Answered(error, keepAlive);
        });
    }

    std::string KeepAliveTimeout() const { return "timeout=" + std::to_string(server_->limits.keepAlive.count()); }

    void Answered(ErrorCode error, bool keepAlive) {
        if (error) return Close();
        if (!keepAlive) return Finish();
        // A client told "timeout=N" may reuse the connection until then: a second more is given,
        // so that its last request never meets a closing connection.
        WaitForRequest(server_->limits.keepAlive + std::chrono::seconds(1));
    }

    // The head of an event stream: chunked to an HTTP/1.1 client, and to an HTTP/1.0 one, which
    // cannot read chunks, plain and ended by closing the connection.
    std::string StreamHead(const HttpResponse &response) const {
        http::response<http::empty_body> head{http::status::ok, 11};
        for (const auto &[name, value] : response.headers) head.insert(name, value);
        head.set(http::field::content_type, "text/event-stream");
        if (version_ >= 11) {
            head.chunked(true);
        } else {
            head.keep_alive(false);
        }
        std::ostringstream text;
        text << head.base();
        return text.str();
    }

    std::string Framed(std::string_view data) const { return version_ >= 11 ? Chunk(data) : std::string(data); }

    // HEAD: the stream's headers alone; the subscription made for it ends here.
    void SendStreamHead(HttpResponse response) {
        if (closed_) return;
        const bool keepAlive = keepAlive_ && !server_->stopping;
        if (keepAlive) response.headers.emplace_back("Keep-Alive", KeepAliveTimeout());
        auto head = std::make_shared<std::string>(StreamHead(response));
        Lowest().expires_after(server_->limits.write);
        asio::async_write(stream_, asio::buffer(*head),
                          [self = Self(), head, keepAlive](ErrorCode error, size_t) {
                              self->Answered(error, keepAlive);
                          });
    }

    void StartStream(HttpResponse response) {
        if (closed_) return;
        outgoing_.push_back(StreamHead(response));
        events_ = std::move(*response.stream);
        // The kernel would otherwise grow the send buffer to megabytes for a client that does
        // not read, and writes would never wait: bounded, a write waits, and the write deadline
        // and the queue's few events hold for such a client too.
        ErrorCode ignored;
        Lowest().socket().set_option(asio::socket_base::send_buffer_size(kStreamSendBuffer), ignored);
        const std::weak_ptr<Connection> weak = this->weak_from_this();
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

    // A stream's client has nothing more to say: data is dropped, its end closes the stream. Read
    // below TLS too: nothing the client could send (a close_notify, a key update) needs an answer
    // on a connection that ends with its stream.
    void WatchForHangUp() {
        Lowest().socket().async_read_some(asio::buffer(discard_),
                                         [self = Self()](ErrorCode error, size_t) {
                                             if (error) return self->Close();
                                             self->WatchForHangUp();
                                         });
    }

    void Tick() {
        ticks_.expires_after(kStreamTick);
        ticks_.async_wait([self = Self()](ErrorCode error) {
            if (error || self->closed_) return;
            if (const std::optional<std::string> last = self->events_->ending()) {
                self->outgoing_.push_back(self->Framed(*last));
                if (self->version_ >= 11) self->outgoing_.push_back("0\r\n\r\n");
                self->ending_ = true;
                return self->Pump();
            }
            const std::string keepAlive = self->events_->events->KeepAlive();
            if (!keepAlive.empty() && self->outgoing_.empty()) self->outgoing_.push_back(self->Framed(keepAlive));
            self->Pump();
            self->Tick();
        });
    }

    // Events are taken from the queue only when what was taken before is written: a client that
    // does not read holds at most the queue's few events, and loses its connection at the write
    // deadline.
    void TakeEvents() {
        if (closed_ || ending_ || writing_ || !outgoing_.empty()) return;
        while (const std::optional<std::string> event = events_->events->Pop()) outgoing_.push_back(Framed(*event));
        if (!outgoing_.empty()) Pump();
    }

    void Pump() {
        if (writing_ || closed_) return;
        if (outgoing_.empty()) {
            if (ending_) return Finish();
            return TakeEvents();
        }
        writing_ = true;
        Lowest().expires_after(server_->limits.write);
        asio::async_write(stream_, asio::buffer(outgoing_.front()),
                          [self = Self()](ErrorCode error, size_t) {
                              self->writing_ = false;
                              if (error) return self->Close();
                              self->outgoing_.pop_front();
                              self->Pump();
                          });
    }

    // After the last reply: the transport's goodbye within the reply's own deadline, then the end
    // of sending, then closed.
    void Finish() {
        if (closed_) return;
        Transport::Goodbye(stream_, [self = Self()] {
            ErrorCode ignored;
            self->Lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
            self->Close();
        });
    }

    void Close() {
        if (closed_) return;
        closed_ = true;
        seat_.Leave();
        ErrorCode ignored;
        ticks_.cancel();
        Lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
        Lowest().close();
        if (events_) events_->events->OnArrival(nullptr);
        events_.reset();  // the subscription ends
    }

    std::shared_ptr<HttpServer::State> server_;
    ListenerSeat seat_;
    std::string address_;  // the client's
    typename Transport::Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    bool keepAlive_ = false, head_ = false, closed_ = false;
    unsigned version_ = 11;  // of the request being answered: 10 for HTTP/1.0
    // Event stream
    std::optional<EventStream> events_;
    std::deque<std::string> outgoing_;
    bool writing_ = false, ending_ = false;
    asio::steady_timer ticks_;
    char discard_[512];
};

// The connection of an accepted socket, over TLS when the server has a context; ACT is given it.
template <class Act>
void Connect(const std::shared_ptr<HttpServer::State> &server, tcp::socket socket, ListenerSeat seat, Act act) {
#if MAVOZARP_SERVICE_TLS
    if (server->tls) {
        return act(std::make_shared<Connection<TlsTransport>>(TlsTransport::Open(std::move(socket), *server->tls),
                                                              server, std::move(seat)));
    }
#endif
    act(std::make_shared<Connection<PlainTransport>>(PlainTransport::Open(std::move(socket)), server,
                                                     std::move(seat)));
}

}  // namespace

HttpServer::HttpServer(EventLoop &loop, HttpLimits limits, std::shared_ptr<TlsContext> tls, Handler handler)
    : state_(std::make_shared<State>(loop, limits, std::move(tls), std::move(handler))) {
    // The listener's connections keep what they need of the server, not the server itself.
    const std::weak_ptr<State> weak = state_;
    state_->listener = std::make_shared<Listener>(
        loop.Context(), ListenerOptions{.bounds = limits.connections, .mostRefused = kMostRefusing},
        [weak](tcp::socket socket, const std::string &address, ListenerSeat seat) {
            if (const auto state = weak.lock())
                Connect(state, std::move(socket), std::move(seat),
                        [&](auto connection) { connection->Start(address); });
        },
        [weak](tcp::socket socket, ListenerSeat seat) {
            if (const auto state = weak.lock())
                Connect(state, std::move(socket), std::move(seat), [](auto connection) { connection->Refuse(); });
        });
    loop.AtStop([state = state_] {
        state->stopping = true;
        state->listener->Close();
    });
}

uint16_t HttpServer::Listen(const std::string &address, uint16_t port) {
    return state_->listener->Listen(address, port);
}

void HttpServer::StartAccepting() { state_->listener->StartAccepting(); }

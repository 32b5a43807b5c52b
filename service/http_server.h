// HTTP/1.1 on the event loop (Boost.Beast), over TLS when given a context: requests read whole under a deadline and within fixed
// bounds of memory before the service sees them, replies and event streams written under a
// deadline, keep-alive connections closed only when idle past the time they were told, and the
// connections bounded per listener and per client address (a full listener answers 503 with
// Retry-After). The routes are the caller's: a request goes to the handler, which answers through
// the callback it is given (on the loop's thread).
#pragma once

#include "event_loop.h"
#include "http_messages.h"
#include "listener.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct TlsContext;  // tls_context.h, where the build has TLS

struct HttpLimits {
    size_t headerBytes = 16 * 1024;  // the request line and headers together
    size_t bodyBytes = 64 * 1024;
    std::chrono::seconds handshake{10};  // TLS: from the connection to the handshake's end
    std::chrono::seconds request{10};   // from a request's first byte to its last
    std::chrono::seconds keepAlive{5};  // announced; a connection idle longer is closed
    std::chrono::seconds write{10};     // a reply, or one event, reaching a client that reads
    ConnectionBounds connections{.perListener = 512, .perAddress = 256};
};

class HttpServer {
public:
    using Reply = std::function<void(HttpResponse)>;
    using Handler = std::function<void(HttpRequest, Reply)>;

    // TLS: null for plain HTTP.
    HttpServer(EventLoop &loop, HttpLimits limits, std::shared_ptr<TlsContext> tls, Handler handler);
    // Binds and listens; throws std::runtime_error saying why it cannot. Returns the port bound.
    // Nothing is accepted until StartAccepting(), so what the handler needs to know of the port
    // can be set in between.
    uint16_t Listen(const std::string &address, uint16_t port);
    void StartAccepting();

    struct State;

private:
    std::shared_ptr<State> state_;
};

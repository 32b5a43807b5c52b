// One listening socket of the service with the connections it accepted, whatever the door (the
// HTTP API, an instrument socket, Modbus): accepting on the event loop, each connection admitted
// within the bounds per listener and per client address (the longest idle one shed to make room),
// one that finds no room handed to its door to be told so briefly (HTTP 503, instrument ERR 503)
// or closed untold, and every connection ended when the listener closes. The door's protocol runs
// in the connections it makes of the sockets it is given; a connection holds its seat while open.
#pragma once

#include "connection_table.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class Listener;

// A connection's place among its listener's connections, or among those being told there is no
// room. Used on the loop's thread only; the place is left at Leave() or when the seat goes.
class ListenerSeat {
public:
    ListenerSeat() = default;
    ListenerSeat(ListenerSeat &&other) noexcept;
    ListenerSeat &operator=(ListenerSeat &&other) noexcept;
    ~ListenerSeat() { Leave(); }

    // What ends the connection when it is shed for room or its listener closes.
    void OnDismiss(std::function<void()> dismiss);
    // Waiting between requests (the first to be shed for room), or busy with one.
    void SetIdle(bool idle);
    // The connection closed; again does nothing.
    void Leave();

private:
    friend class Listener;
    static constexpr uint64_t kRefusal = 0;  // the id of a seat among those being told
    ListenerSeat(std::shared_ptr<Listener> listener, uint64_t id) : listener_(std::move(listener)), id_(id) {}

    std::shared_ptr<Listener> listener_;
    uint64_t id_ = kRefusal;
};

struct ListenerOptions {
    ConnectionBounds bounds;
    // Connections being told there is no room at once; beyond them new ones are closed untold.
    size_t mostRefused = 0;
};

class Listener : public std::enable_shared_from_this<Listener> {
public:
    using Socket = boost::asio::ip::tcp::socket;
    // The door's connection of an accepted socket, from the client at `address`; the seat is its
    // place (admitted), or its place among those told there is no room (refused).
    using Admitted = std::function<void(Socket socket, const std::string &address, ListenerSeat seat)>;
    using Refused = std::function<void(Socket socket, ListenerSeat seat)>;

    // `refused` may be empty: a connection that finds no room is closed untold.
    Listener(boost::asio::io_context &context, ListenerOptions options, Admitted admitted, Refused refused);

    // Binds and listens on ADDRESS ("localhost" or numeric) and PORT (0: any free one) at once, so
    // that the port is known before anything is accepted; throws std::runtime_error saying why
    // it cannot. Returns the port bound.
    uint16_t Listen(const std::string &address, uint16_t port);
    uint16_t Port() const { return port_; }
    // Accepts on the loop from now on.
    void StartAccepting();
    // On the loop: nothing more is accepted, and every connection admitted is dismissed.
    void Close();

private:
    friend class ListenerSeat;
    void Accept();
    void Take(Socket socket);

    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer acceptRetry_;
    ListenerOptions options_;
    Admitted admitted_;
    Refused refused_;
    ConnectionTable table_;
    size_t refusing_ = 0;
    uint16_t port_ = 0;
    bool closing_ = false;
};

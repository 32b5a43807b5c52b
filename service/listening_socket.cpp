#include "listening_socket.h"

#include <stdexcept>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// On Windows SO_REUSEADDR lets another program bind a port in use and take its connections, so
// the port is held exclusively there; elsewhere it only lets a restarted service bind again
// while old connections linger.
void ClaimAddress(tcp::acceptor &acceptor, boost::system::error_code &error) {
#if defined(_WIN32)
    acceptor.set_option(asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true), error);
#else
    acceptor.set_option(tcp::acceptor::reuse_address(true), error);
#endif
}

std::string CannotListen(const std::string &address, uint16_t port, const std::string &why) {
    return "cannot listen on " + address + " port " + std::to_string(port) + ": " + why;
}

}  // namespace

uint16_t OpenListeningSocket(tcp::acceptor &acceptor, const std::string &address, uint16_t port) {
    boost::system::error_code error;
    const asio::ip::address ip = asio::ip::make_address(address == "localhost" ? "127.0.0.1" : address, error);
    if (error) throw std::runtime_error(CannotListen(address, port, "not a numeric address"));
    const tcp::endpoint endpoint(ip, port);
    acceptor.open(endpoint.protocol(), error);
    if (!error) ClaimAddress(acceptor, error);
    if (!error) acceptor.bind(endpoint, error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        // In the same words on every system.
        const std::string why = error == asio::error::address_in_use ? "address already in use" : error.message();
        acceptor.close(error);
        throw std::runtime_error(CannotListen(address, port, why));
    }
    return acceptor.local_endpoint().port();
}

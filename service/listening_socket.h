// A listening socket for the HTTP API or an instrument socket, bound at once so that the port is
// known before anything is accepted.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <string>

// Opens, binds and listens on ADDRESS ("localhost" or numeric) and PORT (0: any free one);
// returns the port bound. Throws std::runtime_error ("cannot listen on ADDRESS port N: why") when
// it cannot. Another process can never bind the same port beside it.
uint16_t OpenListeningSocket(boost::asio::ip::tcp::acceptor &acceptor, const std::string &address,
                             uint16_t port);

// HTTP's connections over TLS: what the HTTP server does before its first request and after its
// last reply on a TLS connection (the plain transport does nothing there). The handshake runs
// under the deadline its caller set on the lowest layer; a plain HTTP request where the handshake
// was expected is told in a short plain 400, which a person who typed http:// can read.
#pragma once

#include "tls_context.h"

#include <boost/asio/write.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <string_view>
#include <utility>

struct TlsTransport {
    using Stream = boost::beast::ssl_stream<boost::beast::tcp_stream>;

    static Stream Open(boost::asio::ip::tcp::socket socket, TlsContext &context) {
        return Stream(boost::beast::tcp_stream(std::move(socket)), context.ssl);
    }

    // DONE(error) once the handshake is over: an error when it failed (a plain request answered).
    template <class Done>
    static void Handshake(Stream &stream, Done done) {
        stream.async_handshake(boost::asio::ssl::stream_base::server,
                               [&stream, done = std::move(done)](boost::system::error_code error) mutable {
                                   if (!IsPlainHttp(error)) return done(error);
                                   boost::asio::async_write(
                                       boost::beast::get_lowest_layer(stream), boost::asio::buffer(kPlainHttpAnswer),
                                       [error, done = std::move(done)](boost::system::error_code, size_t) mutable {
                                           done(error);
                                       });
                               });
    }

    // DONE() once the service's close_notify is written, so that the client can tell the end of
    // a reply ended by closing from a cut connection. The client's own is not waited for.
    template <class Done>
    static void Goodbye(Stream &stream, Done done) {
        SSL_set_shutdown(stream.native_handle(), SSL_RECEIVED_SHUTDOWN);
        stream.async_shutdown([done = std::move(done)](boost::system::error_code) mutable { done(); });
    }

private:
    static constexpr std::string_view kPlainHttpAnswer =
        "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 43\r\n"
        "Connection: close\r\n\r\nThis port speaks HTTPS: use https:// here.\n";

    // OpenSSL recognises an HTTP request line where its handshake should begin.
    static bool IsPlainHttp(const boost::system::error_code &error) {
        return error.category() == boost::asio::error::get_ssl_category() &&
               ERR_GET_LIB(static_cast<unsigned long>(error.value())) == ERR_LIB_SSL &&
               ERR_GET_REASON(static_cast<unsigned long>(error.value())) == SSL_R_HTTP_REQUEST;
    }
};

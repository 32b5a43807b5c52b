// The service's own TLS: its certificate chain and key read once at start and checked there, so
// that a mistake is told when the service starts rather than at a client's first handshake. TLS
// 1.2 or later with OpenSSL's default ciphers, no renegotiation, no session cache (tickets resume
// sessions and cost the service no memory). Linux only: the Windows build has no OpenSSL.
#pragma once

#include <boost/asio/ssl/context.hpp>

#include <memory>
#include <string>
#include <vector>

// What every TLS connection of the HTTP listener is made with.
struct TlsContext {
    boost::asio::ssl::context ssl{boost::asio::ssl::context::tls_server};
};

struct LoadedTls {
    std::shared_ptr<TlsContext> context;
    // What clients will meet but does not keep the service from serving: the certificate
    // expired or not yet valid, or naming none of the names clients reach the service by.
    std::vector<std::string> warnings;
};

// CHAIN_FILE: PEM, the service's certificate first, then any intermediates; KEY_FILE: its key in
// PEM, without a passphrase, readable by its owner only. HOST_NAMES: the names (and addresses)
// clients may reach the service by. Throws std::runtime_error naming the file and what is wrong:
// missing or unreadable, no certificate or key in it, a key others may read or protected by a
// passphrase, a key that does not belong to the certificate.
LoadedTls LoadTls(const std::string &chainFile, const std::string &keyFile,
                  const std::vector<std::string> &hostNames);

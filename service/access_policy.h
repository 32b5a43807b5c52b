// Who may do what, as the service was told: reading is open on loopback; a service listening on
// another address wants the bearer token for every request; a command that changes a setting is
// refused unless control was allowed, and then wants the token as well (even on loopback: any web
// page in the operator's browser can reach loopback), or at the Modbus door, which has no
// identity, a client address named as one that may write. The command gate applies it.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Client addresses: a network, ADDRESS[/PREFIX].
struct AddressRange {
    boost::asio::ip::address network;
    unsigned prefix = 0;  // leading bits that must match

    std::string Text() const { return network.to_string() + "/" + std::to_string(prefix); }
};

// "192.168.1.0/24", "10.1.2.3" (that address alone), "fd00::/8"; nothing when it is not one.
std::optional<AddressRange> ParseAddressRange(std::string_view text);

// Whether a client's address (an IPv4 client of an IPv6 socket as its IPv4 address) is in range.
bool InRange(const AddressRange &range, std::string_view address);

struct AccessPolicy {
    bool allowControl = false;
    // The --token-file's token, or the one made for this run (shown once at the start); the
    // command gate knows it as an admin's. Empty: none (reading on loopback, read-only).
    std::string token;
    // A users file names who may do what: then commands over MQTT, too, change a setting only
    // with a user's token.
    bool namedUsers = false;
    bool tokenForReading = false;  // listening beyond loopback
    // The names a request's Host header may carry (without the port): the loopback names for a
    // loopback service, the configured names otherwise.
    std::vector<std::string> hostNames;
    // The clients of the Modbus door that may change settings (when control is allowed).
    std::vector<AddressRange> modbusWriters;
};

// Why a request or a command is refused: an HTTP status, a short name, and a sentence.
struct Refusal {
    int status;
    std::string error;
    std::string message;
};

// Compares in time that does not depend on where the texts differ.
bool SameSecret(std::string_view given, std::string_view expected);

// Whether an address is a loopback address (127.0.0.0/8, ::1) or "localhost".
bool IsLoopback(std::string_view address);

// A new token: 32 random bytes as hexadecimal.
std::string MakeToken();

// The lines of a file that only its owner may read or write (line ends and trailing blanks cut);
// throws std::runtime_error with the reason otherwise.
std::vector<std::string> ReadPrivateFile(const std::string &path);

// The token of a file, which only its owner may read or write; throws std::runtime_error with the
// reason otherwise.
std::string ReadTokenFile(const std::string &path);

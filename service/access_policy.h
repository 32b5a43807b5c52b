// Who may do what: the rules the HTTP layer and the instrument sockets share. Reading is open on
// loopback; a service listening on another address wants the bearer token for every request; a
// command that changes a setting is refused unless control was allowed, and then wants the token
// as well (even on loopback: any web page in the operator's browser can reach loopback).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct AccessPolicy {
    bool allowControl = false;
    std::string token;             // empty: no token (reading on loopback, read-only)
    bool tokenForReading = false;  // listening beyond loopback
    // The names a request's Host header may carry (without the port): the loopback names for a
    // loopback service, the configured names otherwise.
    std::vector<std::string> hostNames;
};

// Why a request or a command is refused: an HTTP status, a short name, and a sentence.
struct Refusal {
    int status;
    std::string error;
    std::string message;
};

// Compares in time that does not depend on where the texts differ.
bool SameSecret(std::string_view given, std::string_view expected);

// A command that changes a setting, presented with (or without) the token.
std::optional<Refusal> CheckControl(const AccessPolicy &policy, bool tokenPresented,
                                    std::string_view token);

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

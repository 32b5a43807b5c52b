// The two things the service needs of cryptography: SHA-256 digests (of users' tokens) and random
// bytes a guesser cannot predict (for new tokens). OpenSSL's on Linux (`_posix`), the system's
// CNG on Windows (`_win32`), where no OpenSSL is built; both are the platform's vetted code, not
// ours.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

using Sha256Digest = std::array<unsigned char, 32>;

Sha256Digest Sha256(std::string_view data);

// Fills `bytes` from the system's cryptographically secure generator; throws std::runtime_error
// when it cannot (a token must never come from a weaker source).
void FillRandom(std::span<unsigned char> bytes);

// `count` random bytes as lower-case hexadecimal (2 x count characters).
std::string RandomHex(size_t count);

// Lower-case hexadecimal of bytes.
std::string HexOf(std::span<const unsigned char> bytes);

#include "crypto.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

Sha256Digest Sha256(std::string_view data) {
    Sha256Digest digest{};
    unsigned int length = 0;
    // EVP_Digest fails only when OpenSSL cannot allocate its context.
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size()) {
        throw std::runtime_error("OpenSSL could not compute a SHA-256 digest");
    }
    return digest;
}

void FillRandom(std::span<unsigned char> bytes) {
    while (!bytes.empty()) {
        const size_t chunk = std::min<size_t>(bytes.size(), INT_MAX);
        if (RAND_bytes(bytes.data(), static_cast<int>(chunk)) != 1) {
            char reason[256];
            ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
            throw std::runtime_error(std::string("no random bytes from OpenSSL: ") + reason);
        }
        bytes = bytes.subspan(chunk);
    }
}

#include "crypto.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

// SHA-256 from the system's provider, opened once for the whole process and never closed; the
// provider handle may be shared between threads.
BCRYPT_ALG_HANDLE Sha256Provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        if (!Succeeded(BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
            throw std::runtime_error("Windows CNG offers no SHA-256 provider");
        return opened;
    }();
    return provider;
}

}  // namespace

Sha256Digest Sha256(std::string_view data) {
    // BCryptHash would do this in one call, but only from Windows 10 on.
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!Succeeded(BCryptCreateHash(Sha256Provider(), &hash, nullptr, 0, nullptr, 0, 0)))
        throw std::runtime_error("Windows CNG could not start a SHA-256 digest");
    Sha256Digest digest{};
    bool done = true;
    for (std::string_view rest = data; done && !rest.empty();) {
        const size_t chunk = std::min<size_t>(rest.size(), ULONG_MAX);
        done = Succeeded(BCryptHashData(hash,
                                        reinterpret_cast<PUCHAR>(const_cast<char *>(rest.data())),
                                        static_cast<ULONG>(chunk), 0));
        rest.remove_prefix(chunk);
    }
    done = done &&
           Succeeded(BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    BCryptDestroyHash(hash);
    if (!done) throw std::runtime_error("Windows CNG could not compute a SHA-256 digest");
    return digest;
}

void FillRandom(std::span<unsigned char> bytes) {
    while (!bytes.empty()) {
        const size_t chunk = std::min<size_t>(bytes.size(), ULONG_MAX);
        if (!Succeeded(BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(chunk),
                                       BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            throw std::runtime_error("no random bytes from Windows CNG");
        }
        bytes = bytes.subspan(chunk);
    }
}

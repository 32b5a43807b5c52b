#include "access_policy.h"

#include <sys/stat.h>

#include <arpa/inet.h>

#include <fstream>
#include <random>
#include <stdexcept>

bool SameSecret(std::string_view given, std::string_view expected) {
    // Every byte of the expected text is looked at whatever the given one holds.
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i) {
        const char other = i < given.size() ? given[i] : '\0';
        difference |= static_cast<unsigned char>(other ^ expected[i]);
    }
    return difference == 0 && !expected.empty();
}

std::optional<Refusal> CheckControl(const AccessPolicy &policy, bool tokenPresented,
                                    std::string_view token) {
    if (!policy.allowControl) {
        return Refusal{403, "read-only",
                       "the service is read-only: commands that change a setting are refused "
                       "(start it with --allow-control)"};
    }
    if (!tokenPresented) {
        return Refusal{401, "token-required", "a command that changes a setting needs the token"};
    }
    if (!SameSecret(token, policy.token)) return Refusal{401, "wrong-token", "the token is wrong"};
    return std::nullopt;
}

bool IsLoopback(std::string_view address) {
    if (address == "localhost") return true;
    const std::string text(address);
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::string MakeToken() {
    std::random_device random;  // the system's entropy source
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 32; ++i) {
        const unsigned byte = random() & 0xFF;
        token += kHex[byte >> 4];
        token += kHex[byte & 0xF];
    }
    return token;
}

std::vector<std::string> ReadPrivateFile(const std::string &path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) throw std::runtime_error("cannot read " + path);
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        throw std::runtime_error(path + " may be read by others than its owner (chmod 600 it)");
    }
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string ReadTokenFile(const std::string &path) {
    const std::vector<std::string> lines = ReadPrivateFile(path);
    if (lines.empty() || lines.front().size() < 16)
        throw std::runtime_error(path + " holds no token of 16 characters or more");
    return lines.front();
}

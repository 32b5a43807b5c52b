#include "access_policy.h"

#include "crypto.h"
#include "private_file.h"

#include <boost/asio/ip/address.hpp>

#include <fstream>
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
    boost::system::error_code error;
    const boost::asio::ip::address ip = boost::asio::ip::make_address(std::string(address), error);
    return !error && ip.is_loopback();
}

std::string MakeToken() { return RandomHex(32); }

std::vector<std::string> ReadPrivateFile(const std::string &path) {
    if (const std::optional<std::string> problem = PrivateFileProblem(path))
        throw std::runtime_error(*problem);
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

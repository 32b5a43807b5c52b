#include "access_policy.h"

#include "crypto.h"
#include "private_file.h"

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <charconv>
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

std::optional<AddressRange> ParseAddressRange(std::string_view text) {
    const size_t slash = text.find('/');
    boost::system::error_code error;
    const boost::asio::ip::address ip = boost::asio::ip::make_address(std::string(text.substr(0, slash)), error);
    if (error) return std::nullopt;
    const unsigned bits = ip.is_v4() ? 32 : 128;
    unsigned prefix = bits;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, failed] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
        if (digits.empty() || failed != std::errc() || end != digits.data() + digits.size() || prefix > bits)
            return std::nullopt;
    }
    return AddressRange{ip, prefix};
}

bool InRange(const AddressRange &range, std::string_view address) {
    boost::system::error_code error;
    boost::asio::ip::address ip = boost::asio::ip::make_address(std::string(address), error);
    if (error) return false;
    if (ip.is_v6() && ip.to_v6().is_v4_mapped())
        ip = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, ip.to_v6());
    if (ip.is_v4() != range.network.is_v4()) return false;
    // The leading `prefix` bits of both, whole bytes first.
    const auto bytes = [](const boost::asio::ip::address &a) {
        std::vector<uint8_t> all;
        if (a.is_v4()) {
            const auto v4 = a.to_v4().to_bytes();
            all.assign(v4.begin(), v4.end());
        } else {
            const auto v6 = a.to_v6().to_bytes();
            all.assign(v6.begin(), v6.end());
        }
        return all;
    };
    const std::vector<uint8_t> given = bytes(ip), wanted = bytes(range.network);
    const unsigned whole = range.prefix / 8, rest = range.prefix % 8;
    if (!std::equal(given.begin(), given.begin() + whole, wanted.begin())) return false;
    const auto mask = static_cast<uint8_t>(0xFF00u >> rest);
    return rest == 0 || (given[whole] & mask) == (wanted[whole] & mask);
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

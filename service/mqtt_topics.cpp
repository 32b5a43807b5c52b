#include "mqtt_topics.h"

#include <boost/asio/ip/host_name.hpp>

#include <charconv>

namespace {

bool IsTopicSafe(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_' || c == '.' || c == '~' || c == '?';
}

}  // namespace

bool IsPublishableTopic(std::string_view topic) {
    return !topic.empty() && topic.find_first_of("+#") == std::string_view::npos &&
           topic.find('\0') == std::string_view::npos;
}

std::string HostName() {
    boost::system::error_code error;
    const std::string name = boost::asio::ip::host_name(error);
    return error || name.empty() ? "localhost" : name;
}

std::string TopicLevel(std::string_view id) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string level;
    for (const char c : id) {
        if (IsTopicSafe(c)) {
            level += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        level += '%';
        level += kHex[byte >> 4];
        level += kHex[byte & 0xF];
    }
    return level;
}

std::optional<std::string> IdOfTopicLevel(std::string_view level) {
    std::string id;
    for (size_t i = 0; i < level.size(); ++i) {
        if (level[i] != '%') {
            id += level[i];
            continue;
        }
        unsigned byte = 0;
        if (i + 2 >= level.size()) return std::nullopt;
        const auto result = std::from_chars(level.data() + i + 1, level.data() + i + 3, byte, 16);
        if (result.ec != std::errc{} || result.ptr != level.data() + i + 3) return std::nullopt;
        id += static_cast<char>(byte);
        i += 2;
    }
    return id;
}

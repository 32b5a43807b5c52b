#include "http_messages.h"

#include "client/output.h"

#include <algorithm>

namespace {

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string PercentDecoded(std::string_view text, bool plusIsSpace) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            decoded += plusIsSpace && text[i] == '+' ? ' ' : text[i];
        }
    }
    return decoded;
}

std::optional<RequestTarget> ReadRequestTarget(std::string_view target) {
    RequestTarget read;
    const auto scheme = [&](std::string_view name) {
        return target.size() >= name.size() && SameName(target.substr(0, name.size()), name) ? name.size() : 0;
    };
    if (const size_t schemeLength = std::max(scheme("http://"), scheme("https://"))) {
        target.remove_prefix(schemeLength);
        const size_t end = std::min(target.find_first_of("/?"), target.size());
        const std::string_view authority = target.substr(0, end);
        // No user name in the authority: HTTP has no use for one, and a host must be named.
        if (authority.empty() || authority.find('@') != std::string_view::npos) return std::nullopt;
        read.authority = std::string(authority);
        target.remove_prefix(end);
    } else if (!target.starts_with('/')) {
        return std::nullopt;
    }
    const size_t question = std::min(target.find('?'), target.size());
    read.path = PercentDecoded(target.substr(0, question), false);
    if (read.path.empty()) read.path.push_back('/');  // "http://host" or "http://host?query"
    read.query = std::string(target.substr(std::min(question + 1, target.size())));
    return read;
}

std::string HttpRequest::Header(std::string_view name) const {
    for (const auto &[key, value] : headers) {
        if (SameName(key, name)) return value;
    }
    return {};
}

bool HttpRequest::HasHeader(std::string_view name) const {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto &header) { return SameName(header.first, name); });
}

std::string HttpRequest::Param(std::string_view name) const {
    size_t start = 0;
    while (start <= query.size()) {
        const size_t end = std::min(query.find('&', start), query.size());
        const std::string_view pair = std::string_view(query).substr(start, end - start);
        const size_t equals = std::min(pair.find('='), pair.size());
        if (PercentDecoded(pair.substr(0, equals), true) == name)
            return PercentDecoded(pair.substr(std::min(equals + 1, pair.size())), true);
        start = end + 1;
    }
    return {};
}

HttpResponse BodyResponse(int status, std::string contentType, std::string body,
                          std::vector<std::pair<std::string, std::string>> headers) {
    HttpResponse response;
    response.status = status;
    response.contentType = std::move(contentType);
    response.body = std::move(body);
    response.headers = std::move(headers);
    return response;
}

HttpResponse ErrorResponse(int status, const std::string &error, const std::string &message) {
    return BodyResponse(status, "application/json", Json{{"error", error}, {"message", message}}.dump(2) + "\n");
}


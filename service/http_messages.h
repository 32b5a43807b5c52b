// A request as the routes see it, read whole, and their answer: a body, or an event stream.
#pragma once

#include "stream_events.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct HttpRequest {
    std::string method;
    std::string path;   // percent-decoded
    std::string query;  // as sent, after the first '?' (which may hold more of them)
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string client;  // the client's address, as its connection came

    // The first header of that name (any case), or empty.
    std::string Header(std::string_view name) const;
    bool HasHeader(std::string_view name) const;
    // The first query parameter of that name, percent-decoded ('+' a space), or empty.
    std::string Param(std::string_view name) const;
};

// Server-Sent Events instead of a body: the events as they arrive, a comment now and then, and the
// stream's end once `ending` (asked every second) gives its last event.
struct EventStream {
    std::shared_ptr<EventQueue> events;
    std::function<std::optional<std::string>()> ending;
    std::shared_ptr<void> holds;  // kept while the stream is open (its subscription)
};

struct HttpResponse {
    int status = 200;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<EventStream> stream;
};

// A reply with a body.
HttpResponse BodyResponse(int status, std::string contentType, std::string body,
                          std::vector<std::pair<std::string, std::string>> headers = {});

// A refusal as a reply: the JSON document every error of the API has.
HttpResponse ErrorResponse(int status, const std::string &error, const std::string &message);

// Percent-decoded text; '+' is a space in a query's names and values.
std::string PercentDecoded(std::string_view text, bool plusIsSpace);

// A request line's target: "/path?query", or the absolute form "http://host:port/path?query" (or
// https://) that every HTTP/1.1 server must accept; the authority is then the request's host,
// whatever its Host header says. Nothing for a target of another form (the routes answer none of them).
struct RequestTarget {
    std::string path;  // percent-decoded
    std::string query;
    std::optional<std::string> authority;
};
std::optional<RequestTarget> ReadRequestTarget(std::string_view target);

// The connections of one listener, bounded in number per listener and per client address. When a
// new connection would pass a bound, the longest idle connection that may be shed (one that has
// not begun a request, or waits between requests) is closed to make room; when none may be shed,
// the new one is refused, answered by its listener (HTTP 503, instrument ERR 503). Used on the
// loop's thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

struct ConnectionBounds {
    size_t perListener;
    size_t perAddress;
};

class ConnectionTable {
public:
    explicit ConnectionTable(ConnectionBounds bounds) : bounds_(bounds) {}

    // A number for the new connection, or nothing when it must be refused.
    std::optional<uint64_t> Admit(const std::string &address);
    // What ends the connection when it is shed or its listener closes.
    void SetClose(uint64_t id, std::function<void()> close);
    // Whether the connection may be shed from now on (idle), or is busy with a request.
    void SetIdle(uint64_t id, bool idle);
    void Remove(uint64_t id);
    // Sheds the longest idle connection of any address (the process ran out of descriptors);
    // false when none is idle.
    bool ShedOne();
    void CloseAll();
    size_t Count() const { return entries_.size(); }

private:
    struct Entry {
        std::string address;
        bool idle = true;
        std::chrono::steady_clock::time_point idleSince;
        std::function<void()> close;
    };
    bool ShedIdle(const std::string *address);

    ConnectionBounds bounds_;
    std::map<uint64_t, Entry> entries_;
    std::map<std::string, size_t> perAddress_;
    uint64_t nextId_ = 1;
};

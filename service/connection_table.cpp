#include "connection_table.h"

#include <vector>

std::optional<uint64_t> ConnectionTable::Admit(const std::string &address) {
    // Looked up, not inserted: a refused address leaves nothing behind.
    const auto counted = perAddress_.find(address);
    const size_t fromAddress = counted == perAddress_.end() ? 0 : counted->second;
    if (fromAddress >= bounds_.perAddress && !ShedIdle(&address)) return std::nullopt;
    if (entries_.size() >= bounds_.perListener && !ShedIdle(nullptr)) return std::nullopt;
    const uint64_t id = nextId_++;
    entries_[id] = {.address = address,
                    .idle = true,
                    .idleSince = std::chrono::steady_clock::now(),
                    .close = {}};
    ++perAddress_[address];
    return id;
}

void ConnectionTable::SetClose(uint64_t id, std::function<void()> close) {
    const auto found = entries_.find(id);
    if (found != entries_.end()) found->second.close = std::move(close);
}

void ConnectionTable::SetIdle(uint64_t id, bool idle) {
    const auto found = entries_.find(id);
    if (found == entries_.end()) return;
    if (idle && !found->second.idle) found->second.idleSince = std::chrono::steady_clock::now();
    found->second.idle = idle;
}

void ConnectionTable::Remove(uint64_t id) {
    const auto found = entries_.find(id);
    if (found == entries_.end()) return;
    const auto count = perAddress_.find(found->second.address);
    if (--count->second == 0) perAddress_.erase(count);
    entries_.erase(found);
}

bool ConnectionTable::ShedOne() { return ShedIdle(nullptr); }

bool ConnectionTable::ShedIdle(const std::string *address) {
    auto oldest = entries_.end();
    for (auto at = entries_.begin(); at != entries_.end(); ++at) {
        if (!at->second.idle || (address != nullptr && at->second.address != *address)) continue;
        if (oldest == entries_.end() || at->second.idleSince < oldest->second.idleSince) oldest = at;
    }
    if (oldest == entries_.end()) return false;
    const std::function<void()> close = std::move(oldest->second.close);
    Remove(oldest->first);
    if (close) close();
    return true;
}

void ConnectionTable::CloseAll() {
    std::vector<std::function<void()>> closes;
    for (auto &[id, entry] : entries_) closes.push_back(std::move(entry.close));
    entries_.clear();
    perAddress_.clear();
    for (const auto &close : closes) {
        if (close) close();
    }
}

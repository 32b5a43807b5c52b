#include "remote/shared_supplies.h"

#if !defined(_WIN32)
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cstring>

namespace sim {

namespace {

// Frames larger than any request or answer are refused rather than allocated.
constexpr uint32_t kLargestFrame = 1 << 20;

class Writer {
public:
    template <class Value>
    Writer &Put(Value value) {
        const auto *bytes = reinterpret_cast<const uint8_t *>(&value);
        out_.insert(out_.end(), bytes, bytes + sizeof value);
        return *this;
    }
    Writer &PutText(const std::string &text) {
        Put(static_cast<uint32_t>(text.size()));
        out_.insert(out_.end(), text.begin(), text.end());
        return *this;
    }
    Writer &PutBytes(std::span<const uint8_t> bytes) {
        Put(static_cast<uint32_t>(bytes.size()));
        out_.insert(out_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    std::vector<uint8_t> Take() { return std::move(out_); }

private:
    std::vector<uint8_t> out_;
};

// Reads fields in order; once a field runs past the end every later read fails too.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> in) : in_(in) {}
    template <class Value>
    bool Get(Value &value) {
        if (!Has(sizeof value)) return false;
        std::memcpy(&value, in_.data() + at_, sizeof value);
        at_ += sizeof value;
        return true;
    }
    bool GetText(std::string &text) {
        uint32_t size = 0;
        if (!Get(size) || !Has(size)) return false;
        text.assign(reinterpret_cast<const char *>(in_.data() + at_), size);
        at_ += size;
        return true;
    }
    bool GetBytes(std::vector<uint8_t> &bytes) {
        uint32_t size = 0;
        if (!Get(size) || !Has(size)) return false;
        bytes.assign(in_.begin() + static_cast<std::ptrdiff_t>(at_),
                     in_.begin() + static_cast<std::ptrdiff_t>(at_ + size));
        at_ += size;
        return true;
    }
    bool AtEnd() const { return at_ == in_.size(); }

private:
    bool Has(size_t count) const { return in_.size() - at_ >= count; }
    std::span<const uint8_t> in_;
    size_t at_ = 0;
};

#if !defined(_WIN32)
// Moves all bytes within the bound, or fails.
bool Move(int socket, uint8_t *bytes, size_t count, bool sending) {
    const auto deadline = std::chrono::steady_clock::now() + kSharedSuppliesTimeout;
    while (count > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{socket, static_cast<short>(sending ? POLLOUT : POLLIN), 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        const ssize_t moved = sending ? send(socket, bytes, count, MSG_NOSIGNAL)
                                      : recv(socket, bytes, count, 0);
        if (moved <= 0) return false;
        bytes += moved;
        count -= static_cast<size_t>(moved);
    }
    return true;
}
#endif

}  // namespace

#if !defined(_WIN32)
bool SendFrame(int socket, std::span<const uint8_t> payload) {
    std::vector<uint8_t> frame = Writer().PutBytes(payload).Take();
    return Move(socket, frame.data(), frame.size(), true);
}

std::optional<std::vector<uint8_t>> ReceiveFrame(int socket) {
    uint32_t size = 0;
    if (!Move(socket, reinterpret_cast<uint8_t *>(&size), sizeof size, false) ||
        size > kLargestFrame) {
        return std::nullopt;
    }
    std::vector<uint8_t> payload(size);
    if (!Move(socket, payload.data(), size, false)) return std::nullopt;
    return payload;
}
#endif

std::vector<uint8_t> EncodeTransfer(const SharedTransfer &transfer) {
    return Writer()
        .Put(transfer.request)
        .Put(transfer.adapter)
        .Put(transfer.generation)
        .Put(transfer.address)
        .PutBytes(transfer.written)
        .Put(transfer.readCount)
        .Take();
}

std::optional<SharedTransfer> DecodeTransfer(std::span<const uint8_t> payload) {
    SharedTransfer transfer;
    Reader in(payload);
    if (!in.Get(transfer.request) || !in.Get(transfer.adapter) || !in.Get(transfer.generation) ||
        !in.Get(transfer.address) || !in.GetBytes(transfer.written) ||
        !in.Get(transfer.readCount) || !in.AtEnd() || transfer.readCount > kLargestFrame) {
        return std::nullopt;
    }
    return transfer;
}

std::vector<uint8_t> EncodeAdapterList(const std::vector<SharedAdapter> &adapters) {
    Writer out;
    out.Put(static_cast<uint32_t>(adapters.size()));
    for (const SharedAdapter &adapter : adapters) {
        out.Put(static_cast<uint8_t>(adapter.plugged))
            .Put(adapter.generation)
            .Put(adapter.location)
            .PutText(adapter.description)
            .PutText(adapter.serialNumber);
    }
    return out.Take();
}

std::optional<std::vector<SharedAdapter>> DecodeAdapterList(std::span<const uint8_t> payload) {
    Reader in(payload);
    uint32_t count = 0;
    if (!in.Get(count)) return std::nullopt;
    std::vector<SharedAdapter> adapters;
    for (uint32_t i = 0; i < count; ++i) {
        SharedAdapter adapter;
        uint8_t plugged = 0;
        if (!in.Get(plugged) || !in.Get(adapter.generation) || !in.Get(adapter.location) ||
            !in.GetText(adapter.description) || !in.GetText(adapter.serialNumber)) {
            return std::nullopt;
        }
        adapter.plugged = plugged != 0;
        adapters.push_back(std::move(adapter));
    }
    if (!in.AtEnd()) return std::nullopt;
    return adapters;
}

SharedSuppliesClient::~SharedSuppliesClient() {
#if !defined(_WIN32)
    if (socket_ >= 0) close(socket_);
#endif
}

std::optional<std::vector<uint8_t>> SharedSuppliesClient::Exchange(
    std::span<const uint8_t> request) {
#if defined(_WIN32)
    (void)request;
    return std::nullopt;  // the launcher serves POSIX hosts only
#else
    if (socket_ < 0) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path_.size() >= sizeof address.sun_path) return std::nullopt;
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (socket_ < 0) return std::nullopt;
        if (connect(socket_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            close(socket_);
            socket_ = -1;
            return std::nullopt;
        }
    }
    std::optional<std::vector<uint8_t>> answer;
    if (SendFrame(socket_, request)) answer = ReceiveFrame(socket_);
    if (!answer) {
        // A half-done exchange leaves the stream out of step: start afresh next time.
        close(socket_);
        socket_ = -1;
    }
    return answer;
#endif
}

std::optional<std::vector<SharedAdapter>> SharedSuppliesClient::List() {
    const uint8_t request[] = {static_cast<uint8_t>(SharedRequest::List)};
    const std::optional<std::vector<uint8_t>> answer = Exchange(request);
    if (!answer) return std::nullopt;
    return DecodeAdapterList(*answer);
}

TransferOutcome SharedSuppliesClient::Transfer(const SharedTransfer &transfer,
                                               std::vector<uint8_t> &read) {
    const std::optional<std::vector<uint8_t>> answer = Exchange(EncodeTransfer(transfer));
    if (!answer || answer->empty() || answer->front() > uint8_t(TransferOutcome::Gone)) {
        return TransferOutcome::Gone;
    }
    const auto outcome = static_cast<TransferOutcome>(answer->front());
    read.assign(answer->begin() + 1, answer->end());
    if (outcome == TransferOutcome::Acknowledged && read.size() != transfer.readCount) {
        return TransferOutcome::Gone;
    }
    return outcome;
}

}  // namespace sim

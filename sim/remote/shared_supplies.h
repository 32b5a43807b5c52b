// Adapter supplies shared between processes: the launcher keeps the supplies and serves them on a
// local (Unix) socket; the emulated adapter library in every host program reaches the same
// supplies through it, so a setting made by one program is there for the next, as on hardware.
//
// One request, one answer, each a frame: a 32-bit length (host order: both ends are on one
// machine) and that many bytes. Requests: the adapter list, a write transaction and a
// write-then-read transaction on one adapter. An adapter carries a generation that changes each
// time it is plugged back in; a transfer for an older generation, or on an unplugged adapter, is
// answered "gone", as a handle on a replugged USB device is dead.
//
// Every wait is bounded, so a host program whose launcher stopped sees its supplies as unplugged
// instead of hanging.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

// The environment variable naming the socket, set by the launcher's printed environment.
inline constexpr char kSharedSuppliesSocketVariable[] = "MAVOFTCI2C_EMULATED_SOCKET";

inline constexpr std::chrono::milliseconds kSharedSuppliesTimeout{1000};

enum class SharedRequest : uint8_t { List = 0, Write = 1, WriteThenRead = 2 };
enum class TransferOutcome : uint8_t { Acknowledged = 0, NotAcknowledged = 1, Gone = 2 };

struct SharedAdapter {
    bool plugged = true;
    uint32_t generation = 0;
    uint32_t location = 0;
    std::string description;
    std::string serialNumber;
};

// A transfer request as it travels; `readCount` only for WriteThenRead.
struct SharedTransfer {
    SharedRequest request = SharedRequest::Write;
    uint32_t adapter = 0;
    uint32_t generation = 0;
    uint8_t address = 0;
    std::vector<uint8_t> written;
    uint32_t readCount = 0;
};

// Frames on a connected socket; false when the peer went away or the bound passed.
bool SendFrame(int socket, std::span<const uint8_t> payload);
std::optional<std::vector<uint8_t>> ReceiveFrame(int socket);

// Encoding of requests and answers.
std::vector<uint8_t> EncodeTransfer(const SharedTransfer &transfer);
std::optional<SharedTransfer> DecodeTransfer(std::span<const uint8_t> payload);
std::vector<uint8_t> EncodeAdapterList(const std::vector<SharedAdapter> &adapters);
std::optional<std::vector<SharedAdapter>> DecodeAdapterList(std::span<const uint8_t> payload);

// A host program's end: one connection, opened at the first request and again after a failure.
class SharedSuppliesClient {
public:
    explicit SharedSuppliesClient(std::string socketPath) : path_(std::move(socketPath)) {}
    ~SharedSuppliesClient();
    SharedSuppliesClient(const SharedSuppliesClient &) = delete;
    SharedSuppliesClient &operator=(const SharedSuppliesClient &) = delete;

    const std::string &SocketPath() const { return path_; }

    // Nothing when the launcher cannot be reached.
    std::optional<std::vector<SharedAdapter>> List();
    // The outcome, with the bytes read for WriteThenRead; Gone when the launcher cannot be
    // reached.
    TransferOutcome Transfer(const SharedTransfer &transfer, std::vector<uint8_t> &read);

private:
    std::optional<std::vector<uint8_t>> Exchange(std::span<const uint8_t> request);

    std::string path_;
    int socket_ = -1;
};

}  // namespace sim

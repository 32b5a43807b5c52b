// What the service and a worker process say to each other over the worker's private channel.
// A frame is a 32-bit length (little-endian) of what follows, a kind byte, then the kind's
// fields: numbers little-endian, a text as a 32-bit length and its bytes. The service submits
// command batches; the worker tells of its devices (arrived with their identification, departed),
// that the devices it found at start are all told (settled), and each batch's result.
#pragma once

#include "device_link.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace worker_protocol {

// Far more than a batch and its replies take; a longer frame means the peer cannot be trusted.
inline constexpr uint32_t kLongestFrame = 1 << 20;
inline constexpr size_t kLengthBytes = 4;

// The exit status of a worker that found nothing to serve (its port cannot be opened or its head
// identified; the reason is on standard error).
inline constexpr int kFoundNothing = 3;

// To the worker.
struct Submit {
    uint64_t request = 0;
    uint32_t device = 0;
    CommandBatch batch;
};

// From the worker. Device numbers are the worker's own, never reused while it runs.
struct Arrived {
    uint32_t device = 0;
    std::string id;
    DeviceIdentity identity;
};
struct Departed {
    uint32_t device = 0;
};
struct Settled {};
struct Answer {
    uint64_t request = 0;
    BatchResult result;
};
using FromWorker = std::variant<Arrived, Departed, Settled, Answer>;

// A whole frame, length first.
std::string Encode(const Submit &message);
std::string Encode(const FromWorker &message);

// The length a frame's first four bytes announce.
uint32_t FrameLength(const unsigned char (&bytes)[kLengthBytes]);

// A frame's body (after its length); nothing when it is not a well-formed message of that way.
std::optional<Submit> DecodeSubmit(std::string_view body);
std::optional<FromWorker> DecodeFromWorker(std::string_view body);

}  // namespace worker_protocol

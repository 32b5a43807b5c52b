// What the fuzz harnesses share: reading a fuzz input as a script, the check that stops the run
// with the broken rule's line, and the checks of what the exports give back.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "MavoZARP.h"

// Aborts, so that libFuzzer keeps the input that broke the rule.
#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (false)

// The input read front to back; past its end every byte reads as zero.
class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }

    uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }

    // Up to `count` bytes, fewer when the input ends.
    std::vector<uint8_t> Bytes(size_t count) {
        const size_t taken = count < size_ - at_ ? count : size_ - at_;
        std::vector<uint8_t> bytes(data_ + at_, data_ + at_ + taken);
        at_ += taken;
        return bytes;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// Bytes behind each host buffer, filled with a sentinel: the library must never write there.
constexpr size_t kGuard = 16;
constexpr char kSentinel = '\x5A';

// A text the library wrote: terminated within its 100 bytes, nothing written behind them.
inline void CheckText(const char *buffer) {
    FUZZ_CHECK(strnlen(buffer, MAVOZARP_BUFFER_SIZE) < MAVOZARP_BUFFER_SIZE);
    for (size_t i = MAVOZARP_BUFFER_SIZE; i < MAVOZARP_BUFFER_SIZE + kGuard; ++i) {
        FUZZ_CHECK(buffer[i] == kSentinel);
    }
}

inline void CheckStatusAmong(int32_t status, std::span<const int32_t> documented) {
    FUZZ_CHECK(std::find(documented.begin(), documented.end(), status) != documented.end());
}

// A command of the language now and then, mostly any bytes shorter than a buffer.
inline std::string FuzzedCommand(FuzzInput &input, std::span<const char *const> known) {
    if (input.Byte() % 4 == 0) {
        const std::vector<uint8_t> bytes = input.Bytes(input.Byte() % MAVOZARP_BUFFER_SIZE);
        return std::string(bytes.begin(), bytes.end());
    }
    return known[input.Byte() % known.size()];
}

// What the fuzz harnesses share: reading a fuzz input as a script, and the check that stops the
// run with the broken rule's line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

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

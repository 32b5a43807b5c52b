#include "crypto.h"

#include <vector>

std::string HexOf(std::span<const unsigned char> bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const unsigned char byte : bytes) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0xF];
    }
    return text;
}

std::string RandomHex(size_t count) {
    std::vector<unsigned char> bytes(count);
    FillRandom(bytes);
    return HexOf(bytes);
}

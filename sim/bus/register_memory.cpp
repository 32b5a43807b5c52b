#include "bus/register_memory.h"

#include <algorithm>
#include <stdexcept>

namespace sim {

RegisterMemory::RegisterMemory(size_t size, unsigned pointerBytes)
    : bytes_(size), pointerBytes_(pointerBytes) {
    if (size == 0 || pointerBytes < 1 || pointerBytes > 4) {
        throw std::invalid_argument("RegisterMemory: empty memory or pointer width not 1 to 4");
    }
}

void RegisterMemory::Start(bool read) {
    // A read continues where the pointer stands; a write selects the register anew.
    if (!read) pointerBytesSeen_ = 0;
}

bool RegisterMemory::WriteByte(uint8_t value) {
    if (pointerBytesSeen_ < pointerBytes_) {
        const size_t previous = pointerBytesSeen_ == 0 ? 0 : pointer_;
        pointer_ = ((previous << 8) | value) % bytes_.size();
        ++pointerBytesSeen_;
        return true;
    }
    bytes_[pointer_] = value;
    Advance();
    return true;
}

uint8_t RegisterMemory::ReadByte() {
    const uint8_t value = bytes_[pointer_];
    Advance();
    return value;
}

void RegisterMemory::Load(size_t offset, std::span<const uint8_t> bytes) {
    if (offset > bytes_.size() || bytes.size() > bytes_.size() - offset) {
        throw std::out_of_range("RegisterMemory::Load: beyond the memory");
    }
    std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
}

std::vector<uint8_t> RegisterMemory::Contents(size_t offset, size_t count) const {
    if (offset > bytes_.size() || count > bytes_.size() - offset) {
        throw std::out_of_range("RegisterMemory::Contents: beyond the memory");
    }
    const auto first = bytes_.begin() + static_cast<std::ptrdiff_t>(offset);
    return {first, first + static_cast<std::ptrdiff_t>(count)};
}

}  // namespace sim

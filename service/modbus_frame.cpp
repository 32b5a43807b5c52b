#include "modbus_frame.h"

std::vector<uint8_t> EncodeModbusFrame(uint16_t transaction, uint8_t unit,
                                       std::span<const uint8_t> pdu) {
    std::vector<uint8_t> frame;
    frame.reserve(kMbapHeaderBytes + pdu.size());
    AppendBigEndian16(frame, transaction);
    AppendBigEndian16(frame, 0);
    AppendBigEndian16(frame, static_cast<uint16_t>(pdu.size() + 1));
    frame.push_back(unit);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

bool ModbusFrameReader::Take(std::span<const uint8_t> bytes) {
    if (broken_) return false;
    // What was given out is dropped before more is held, so the buffer never outgrows what one
    // read brings beside one partial frame.
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
    held_.insert(held_.end(), bytes.begin(), bytes.end());
    // Checked at once, before any frame behind it could be used.
    FrameBytes();
    return !broken_;
}

std::optional<size_t> ModbusFrameReader::FrameBytes() {
    const std::span<const uint8_t> rest = std::span(held_).subspan(start_);
    if (broken_ || rest.size() < 6) return {};
    const uint16_t protocol = ReadBigEndian16(rest, 2);
    const uint16_t length = ReadBigEndian16(rest, 4);
    if (protocol != 0 || length < kShortestMbapLength || length > kLongestMbapLength) {
        broken_ = true;
        return {};
    }
    return 6 + size_t{length};
}

std::optional<ModbusFrame> ModbusFrameReader::Next() {
    const std::optional<size_t> bytes = FrameBytes();
    if (!bytes || held_.size() - start_ < *bytes) return {};
    const std::span<const uint8_t> frame = std::span(held_).subspan(start_, *bytes);
    start_ += *bytes;
    FrameBytes();  // the header of the frame behind it, checked as soon as it is there
    return ModbusFrame{.transaction = ReadBigEndian16(frame, 0),
                       .unit = frame[6],
                       .pdu = std::vector<uint8_t>(frame.begin() + kMbapHeaderBytes, frame.end())};
}

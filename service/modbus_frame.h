// Modbus TCP framing: the MBAP header (transaction id, protocol id, length, unit id) in front of
// each request and answer. A stream whose header is not Modbus TCP is not read any further: its
// length could not be trusted, so no later frame could be found in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

inline constexpr size_t kMbapHeaderBytes = 7;
// The length field counts the unit id and the PDU: at least a function code, at most the 253
// bytes of a PDU.
inline constexpr uint16_t kShortestMbapLength = 2;
inline constexpr uint16_t kLongestMbapLength = 254;
inline constexpr size_t kLongestPdu = kLongestMbapLength - 1;

struct ModbusFrame {
    uint16_t transaction = 0;
    uint8_t unit = 0;
    std::vector<uint8_t> pdu;
};

// The frame around an answer: the request's transaction and unit ids, protocol id 0.
std::vector<uint8_t> EncodeModbusFrame(uint16_t transaction, uint8_t unit,
                                       std::span<const uint8_t> pdu);

// Cuts the bytes of a connection into frames, as they arrive in pieces of any size.
class ModbusFrameReader {
public:
    // Takes the bytes that arrived; false once the stream is found not to be Modbus TCP (protocol
    // id not 0, or a length outside 2 to 254), and from then on.
    bool Take(std::span<const uint8_t> bytes);
    // The next whole frame, in arrival order; nothing until one is complete.
    std::optional<ModbusFrame> Next();
    // Bytes of a frame not yet complete are held.
    bool Partial() const { return held_.size() > start_; }
    bool Broken() const { return broken_; }

private:
    // The length of the frame at the start, once its header is there; checks that header.
    std::optional<size_t> FrameBytes();

    std::vector<uint8_t> held_;
    size_t start_ = 0;  // bytes before it belong to frames already given out
    bool broken_ = false;
};

// Big-endian 16-bit values, as Modbus writes every field.
inline uint16_t ReadBigEndian16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}
inline void AppendBigEndian16(std::vector<uint8_t> &bytes, uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value >> 8));
    bytes.push_back(static_cast<uint8_t>(value & 0xFF));
}

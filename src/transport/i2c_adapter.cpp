#include "transport/i2c_adapter.h"

#include <cstddef>
#include <vector>

#include "base/failure_message.h"
#include "transport/adapter_library.h"

namespace {

constexpr int kAttempts = 5;

// The adapter library may assume buffers of these sizes.
constexpr size_t kControlBufferSize = 256;
constexpr size_t kDataBufferSize = 65536;

// Arguments the adapter library expects on every transfer.
constexpr int32_t kControlAck = 1;
constexpr uint32_t kAckTimeoutMs = 20;
constexpr uint32_t kReadType = 2;
constexpr int32_t kStopCondition = 1;
constexpr int32_t kDataAck = 1;
constexpr uint32_t kSingleByteWrite = 1;
constexpr uint32_t kBlockWrite = 2;
constexpr uint32_t kSingleBytePageSize = 32;

constexpr const char *kInvalidCommandCount = "I2C invalid commandNumberOfBytes";
constexpr const char *kInvalidDataCount = "I2C invalid dataNumberOfBytes";

// The address, then the command bytes high byte first. Returns the control count.
uint32_t FillControl(std::vector<uint8_t> &control, uint8_t address, uint16_t command,
                     uint8_t commandNumberOfBytes) {
    if (commandNumberOfBytes != 1 && commandNumberOfBytes != 2) RaiseFailure(kInvalidCommandCount);
    control[0] = address;
    if (commandNumberOfBytes == 2) {
        control[1] = static_cast<uint8_t>(command >> 8);
        control[2] = static_cast<uint8_t>(command);
    } else {
        control[1] = static_cast<uint8_t>(command);
    }
    return commandNumberOfBytes + 1u;
}

void CheckDataCount(uint8_t dataNumberOfBytes) {
    if (dataNumberOfBytes != 1 && dataNumberOfBytes != 2 && dataNumberOfBytes != 4) {
        RaiseFailure(kInvalidDataCount);
    }
}

// Runs the transfer until the library reports success, at most five times without a pause. A
// closed adapter fails at once, without a call.
template <class Transfer>
void Attempt(const OpenedAdapter &adapter, Transfer transfer) {
    if (adapter.closed) RaiseFailure(kI2cError);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        uint32_t status = 0;
        try {
            status = transfer();
        } catch (...) {
            RaiseFailure(kFtcI2cException);
        }
        if (status == 0) return;
    }
    RaiseFailure(kI2cError);
}

}  // namespace

namespace I2cAdapter {

uint32_t Read(const OpenedAdapter &adapter, uint8_t address, uint16_t command,
              uint8_t commandNumberOfBytes, uint8_t dataNumberOfBytes, bool alternative) {
    const I2C_ReadFn entryPoint = alternative ? Adapter().I2C_ReadAlt : Adapter().I2C_Read;
    std::vector<uint8_t> control(kControlBufferSize);
    const uint32_t controlCount = FillControl(control, address, command, commandNumberOfBytes);
    CheckDataCount(dataNumberOfBytes);
    std::vector<uint8_t> data(kDataBufferSize);
    Attempt(adapter, [&] {
        return entryPoint(adapter.handle, control.data(), controlCount, kControlAck, kAckTimeoutMs,
                          kReadType, data.data(), dataNumberOfBytes);
    });
    uint32_t value = 0;
    for (uint8_t i = 0; i < dataNumberOfBytes; ++i) value = value << 8 | data[i];
    return value;
}

void Write(const OpenedAdapter &adapter, uint8_t address, uint16_t command,
           uint8_t commandNumberOfBytes, uint32_t data, uint8_t dataNumberOfBytes) {
    std::vector<uint8_t> control(kControlBufferSize);
    const uint32_t controlCount = FillControl(control, address, command, commandNumberOfBytes);
    CheckDataCount(dataNumberOfBytes);
    std::vector<uint8_t> bytes(kDataBufferSize);
    for (uint8_t i = 0; i < dataNumberOfBytes; ++i) {
        bytes[i] = static_cast<uint8_t>(data >> (8 * (dataNumberOfBytes - 1 - i)));
    }
    const bool singleByte = dataNumberOfBytes == 1;
    PageWriteRecord page{1, singleByte ? kSingleBytePageSize : dataNumberOfBytes};
    Attempt(adapter, [&] {
        return Adapter().I2C_Write(adapter.handle, control.data(), controlCount, kControlAck,
                                   kAckTimeoutMs, kStopCondition,
                                   singleByte ? kSingleByteWrite : kBlockWrite, bytes.data(),
                                   dataNumberOfBytes, kDataAck, kAckTimeoutMs, &page);
    });
}

}  // namespace I2cAdapter

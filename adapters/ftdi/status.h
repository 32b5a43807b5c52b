// The statuses the adapter library's entry points answer, and their texts. 0 is success; the
// numbers are this library's own and stay as they are once released.
#pragma once

#include <cstdint>

namespace ftdi_adapter {

enum class Status : uint32_t {
    kOk = 0,
    kInvalidHandle = 1,
    kDeviceNotFound = 2,
    kAlreadyOpen = 3,
    kAccessDenied = 4,
    kClaimedByDriver = 5,
    kUsbFailure = 6,
    kInvalidArgument = 7,
    kNotSupported = 8,
    kAddressNotAcknowledged = 9,
    kDataNotAcknowledged = 10,
    kBusHeldLow = 11,
    kAdapterTimedOut = 12,
    kEngineOutOfStep = 13,
    kNotInitialised = 14,
};

// The text of a status, also for numbers no entry point gives.
const char *StatusText(uint32_t status);

}  // namespace ftdi_adapter

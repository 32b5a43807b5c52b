#include "status.h"

#include <array>

namespace ftdi_adapter {

namespace {

struct StatusEntry {
    Status status;
    const char *text;
};

constexpr std::array kStatusTexts = {
    StatusEntry{.status = Status::kOk, .text = "success"},
    StatusEntry{.status = Status::kInvalidHandle, .text = "the handle is not open"},
    StatusEntry{.status = Status::kDeviceNotFound,
                .text = "no such FTDI device is attached (unplugged?)"},
    StatusEntry{.status = Status::kAlreadyOpen, .text = "the device is open already"},
    StatusEntry{.status = Status::kAccessDenied,
                .text = "no permission to use the USB device (install the udev rule that gives "
                        "the plugdev group access, and be in that group)"},
    StatusEntry{.status = Status::kClaimedByDriver,
                .text = "the USB interface is claimed already: by this or another program, or "
                        "by the kernel's ftdi_sio driver where it could not be detached"},
    StatusEntry{.status = Status::kUsbFailure, .text = "USB transfer failed (device unplugged?)"},
    StatusEntry{.status = Status::kInvalidArgument, .text = "invalid argument"},
    StatusEntry{.status = Status::kNotSupported, .text = "not supported by this adapter library"},
    StatusEntry{.status = Status::kAddressNotAcknowledged,
                .text = "I2C: the address was not acknowledged"},
    StatusEntry{.status = Status::kDataNotAcknowledged,
                .text = "I2C: a byte was not acknowledged"},
    StatusEntry{.status = Status::kBusHeldLow,
                .text = "I2C: the bus is held low (SDA or SCL low while idle)"},
    StatusEntry{.status = Status::kAdapterTimedOut,
                .text = "the adapter did not answer in time"},
    StatusEntry{.status = Status::kEngineOutOfStep,
                .text = "the MPSSE engine answered out of step"},
    StatusEntry{.status = Status::kNotInitialised,
                .text = "the device is not initialised (I2C_InitDevice)"},
};

}  // namespace

const char *StatusText(uint32_t status) {
    for (const StatusEntry &entry : kStatusTexts) {
        if (static_cast<uint32_t>(entry.status) == status) return entry.text;
    }
    return "unknown status";
}

}  // namespace ftdi_adapter

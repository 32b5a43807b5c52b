// The USB side over libftdi (and its libusb): kept to the calls that list, open, reset and move
// bytes, so that everything else, down to which channels are used, is tested against the engine
// model.
#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <tuple>

#include "usb_link.h"

namespace ftdi_adapter {

namespace {

constexpr unsigned char kLatencyMs = 2;
constexpr int kMaxPortDepth = 7;
constexpr int kStringBuffer = 100;
constexpr auto kReadPoll = std::chrono::milliseconds(1);

struct FtdiContext {
    ftdi_context *context = ftdi_new();
    ~FtdiContext() {
        if (context != nullptr) ftdi_free(context);
    }
};

struct DeviceList {
    ftdi_device_list *first = nullptr;
    ~DeviceList() { ftdi_list_free(&first); }
};

std::vector<uint8_t> PortPath(libusb_device *device) {
    uint8_t ports[kMaxPortDepth] = {};
    const int depth = libusb_get_port_numbers(device, ports, kMaxPortDepth);
    return std::vector<uint8_t>(ports, ports + std::max(depth, 0));
}

// The product string and serial number; a device the user may not open says so.
Status ReadStrings(libusb_device *device, std::string &product, std::string &serialNumber) {
    libusb_device_descriptor descriptor{};
    libusb_device_handle *handle = nullptr;
    const int opened = libusb_open(device, &handle);
    if (opened == LIBUSB_ERROR_ACCESS) return Status::kAccessDenied;
    if (opened != 0 || libusb_get_device_descriptor(device, &descriptor) != 0) {
        if (handle != nullptr) libusb_close(handle);
        return Status::kUsbFailure;
    }
    unsigned char text[kStringBuffer] = {};
    const auto read = [&](uint8_t index) {
        const int length = index == 0 ? 0
                                      : libusb_get_string_descriptor_ascii(handle, index, text,
                                                                           sizeof text);
        return std::string(reinterpret_cast<char *>(text), std::max(length, 0));
    };
    product = read(descriptor.iProduct);
    serialNumber = read(descriptor.iSerialNumber);
    libusb_close(handle);
    return Status::kOk;
}

// Calls `visit(device, descriptor)` for every FTDI chip attached (libftdi's list of FTDI's own
// product ids: the FT232R and FT2232 to FT232H families), until it answers true.
template <class Visit>
Status ForEachChip(ftdi_context *context, Visit visit) {
    DeviceList list;
    if (ftdi_usb_find_all(context, &list.first, 0, 0) < 0) return Status::kUsbFailure;
    for (ftdi_device_list *entry = list.first; entry != nullptr; entry = entry->next) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(entry->dev, &descriptor) != 0) continue;
        if (visit(entry->dev, descriptor)) break;
    }
    return Status::kOk;
}

Status OpenFailure(int result) {
    switch (result) {
        case -4:
            return Status::kAccessDenied;
        case -5:
        case -11:
            return Status::kClaimedByDriver;
        default:
            return Status::kUsbFailure;
    }
}

class LibftdiLink : public MpsseLink {
public:
    explicit LibftdiLink(ftdi_context *context) : context_(context) {}
    ~LibftdiLink() override {
        ftdi_set_bitmode(context_, 0, BITMODE_RESET);
        ftdi_usb_close(context_);
        ftdi_free(context_);
    }

    Status ResetEngine() override {
        const bool reset = ftdi_set_bitmode(context_, 0, BITMODE_RESET) == 0 &&
                           ftdi_set_latency_timer(context_, kLatencyMs) == 0 &&
                           ftdi_tcioflush(context_) == 0 &&
                           ftdi_set_bitmode(context_, 0, BITMODE_MPSSE) == 0;
        return reset ? Status::kOk : Status::kUsbFailure;
    }

    Status Send(const std::vector<uint8_t> &commands) override {
        const int size = static_cast<int>(commands.size());
        return ftdi_write_data(context_, commands.data(), size) == size ? Status::kOk
                                                                         : Status::kUsbFailure;
    }

    Status Receive(uint8_t *answer, size_t count, uint32_t timeoutMs) override {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t received = 0;
        while (received < count) {
            const int read = ftdi_read_data(context_, answer + received,
                                            static_cast<int>(count - received));
            if (read < 0) return Status::kUsbFailure;
            received += static_cast<size_t>(read);
            if (received == count) break;
            if (std::chrono::steady_clock::now() >= deadline) return Status::kAdapterTimedOut;
            if (read == 0) std::this_thread::sleep_for(kReadPoll);
        }
        return Status::kOk;
    }

private:
    ftdi_context *context_;
};

class LibftdiBackend : public UsbBackend {
public:
    std::string Name() const override {
        return std::string("libftdi ") + ftdi_get_library_version().version_str;
    }

    Status ListChips(const std::function<bool(uint16_t release)> &named,
                     std::vector<UsbChip> &chips) override {
        FtdiContext ftdi;
        if (ftdi.context == nullptr) return Status::kUsbFailure;
        const Status status = ForEachChip(
            ftdi.context, [&](libusb_device *device, const libusb_device_descriptor &descriptor) {
                UsbChip chip;
                chip.release = descriptor.bcdDevice;
                chip.bus = libusb_get_bus_number(device);
                chip.portPath = PortPath(device);
                chip.address = libusb_get_device_address(device);
                if (named(chip.release)) {
                    chip.access = ReadStrings(device, chip.product, chip.serialNumber);
                }
                chips.push_back(std::move(chip));
                return false;
            });
        std::sort(chips.begin(), chips.end(), [](const UsbChip &a, const UsbChip &b) {
            return std::tie(a.bus, a.portPath) < std::tie(b.bus, b.portPath);
        });
        return status;
    }

    Status Open(const UsbDevice &device, std::unique_ptr<MpsseLink> &link) override {
        ftdi_context *context = ftdi_new();
        if (context == nullptr) return Status::kUsbFailure;
        const unsigned interfaceNumber = device.location & 0x0F;
        int result = ftdi_set_interface(context, static_cast<ftdi_interface>(interfaceNumber));
        bool found = false;
        if (result == 0) {
            ForEachChip(context, [&](libusb_device *candidate, const libusb_device_descriptor &) {
                found = LocationOf(libusb_get_bus_number(candidate), PortPath(candidate),
                                   interfaceNumber) == device.location &&
                        libusb_get_device_address(candidate) == device.address;
                // libftdi detaches the kernel's serial driver where it may.
                if (found) result = ftdi_usb_open_dev(context, candidate);
                return found;
            });
        }
        if (result != 0 || !found) {
            ftdi_free(context);
            return result != 0 ? OpenFailure(result) : Status::kDeviceNotFound;
        }
        link = std::make_unique<LibftdiLink>(context);
        return Status::kOk;
    }
};

}  // namespace

UsbBackend &Backend() {
    static LibftdiBackend *backend = new LibftdiBackend;
    return *backend;
}

}  // namespace ftdi_adapter

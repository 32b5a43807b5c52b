#include "client/status_codes.h"

#include <MavoZARP.h>

namespace {

// Where a user puts an adapter library so that the library finds it, as each system loads it.
#if defined(_WIN32)
constexpr const char *kAdapterLibraryNotLoaded =
    "the adapter library (MavoFTCI2C.DLL) could not be loaded: put it beside the program or in a "
    "folder on PATH (the emulated one of the zip and installer is in their emulated folder, see "
    "README.txt)";
#else
constexpr const char *kAdapterLibraryNotLoaded =
    "the adapter library (libMavoFTCI2C.so, MavoFTCI2C.DLL) could not be loaded: install the "
    "package mavozarp-ftdi-adapter, or add the folder holding it to LD_LIBRARY_PATH (Windows: "
    "put it beside the program or in PATH)";
#endif

constexpr StatusDescription kStatuses[] = {
    {MAVOZARP_STATUS_SUCCESS, "success", "the call succeeded"},
    {MAVOZARP_STATUS_UNKNOWN_HANDLE, "unknown handle",
     "the device is not known (closed, unplugged or never opened)"},
    {MAVOZARP_STATUS_INVALID_HEAD, "invalid head",
     "no head identified on this supply, or its head type is unknown"},
    {MAVOZARP_STATUS_INVALID_COMMAND, "invalid command",
     "not understood or not supported by this head", true},
    {MAVOZARP_STATUS_INVALID_DATA, "invalid data", "argument unreadable or out of range", true},
    {MAVOZARP_STATUS_I2C_ERROR, "I2C error", "an I2C transfer through the adapter failed"},
    {MAVOZARP_STATUS_ADAPTER_NOT_LOADED, "adapter library not loaded",
     kAdapterLibraryNotLoaded},
    {MAVOZARP_STATUS_ADAPTER_INCOMPLETE, "adapter library incomplete",
     "the adapter library lacks an entry point"},
    {MAVOZARP_STATUS_ADAPTER_EXCEPTION, "adapter library exception",
     "the adapter library raised an exception"},
    {MAVOZARP_STATUS_SERIAL_ERROR, "serial port error",
     "serial port failure, no supply recognised on the port, or no answer"},
    {MAVOZARP_STATUS_LOCK_FAILED, "lock failed", "the library's lock could not be taken"},
    {MAVOZARP_STATUS_OTHER_ERROR, "other error", "any other failure (bridge protocol and more)"},
};

}  // namespace

StatusDescription DescribeStatus(int32_t status) {
    for (const StatusDescription &known : kStatuses) {
        if (known.code == status) return known;
    }
    return {status, "adapter library status",
            "a status of the adapter library, passed back unchanged"};
}

std::string StatusMessage(int32_t status) {
    const StatusDescription description = DescribeStatus(status);
    return std::to_string(status) + " " + description.name + ": " + description.meaning;
}

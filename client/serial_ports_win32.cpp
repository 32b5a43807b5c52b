// Serial ports on Windows: the COM devices the system lists.
#include "client/serial_ports.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace {

// "COM3" and "COM12", by number.
bool ByNumber(const SerialPortInfo &a, const SerialPortInfo &b) {
    return a.path.size() != b.path.size() ? a.path.size() < b.path.size() : a.path < b.path;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
    std::vector<char> names(1 << 16);
    const DWORD length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    std::vector<SerialPortInfo> ports;
    for (DWORD at = 0; at < length && names[at] != '\0';) {
        const std::string name(&names[at]);
        at += static_cast<DWORD>(name.size() + 1);
        const bool numbered = name.size() > 3 && name.starts_with("COM") &&
                              std::all_of(name.begin() + 3, name.end(),
                                          [](char c) { return c >= '0' && c <= '9'; });
        if (numbered) ports.emplace_back(name);
    }
    std::sort(ports.begin(), ports.end(), ByNumber);
    return ports;
}

std::optional<std::string> PortProblem(const std::string &path) {
    const std::string device = "\\\\.\\" + path;
    const HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
        DCB settings{};
        settings.DCBlength = sizeof settings;
        const bool serial = GetCommState(port, &settings) != 0;
        CloseHandle(port);
        if (!serial) return std::string("not a serial device");
        return std::nullopt;
    }
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return std::string("no such device");
    // A COM port is opened for exclusive use: refused access means another program has it.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return std::string("held by another process");
    default: return std::nullopt;
    }
}

unsigned PortSpeed(const std::string &path) {
    (void)path;  // the port is exclusive while the library has it open
    return 0;
}

// Serial ports on Windows: the COM ports of Plug and Play devices (SetupAPI) with their names and
// USB identities, united with the ports the serial drivers announce (SERIALCOMM) and with the COM
// names among the DOS devices; and why a port cannot be opened.
#include "client/serial_ports.h"

// The device class and interface GUIDs are defined here rather than taken from a library.
#include <initguid.h>
#include <windows.h>

#include <aclapi.h>
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <vector>

namespace {

// "COM3" before "COM12".
struct ByNumber {
    bool operator()(const std::string &a, const std::string &b) const {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    }
};
using PortsByName = std::map<std::string, SerialPortInfo, ByNumber>;

SerialPortInfo &Port(PortsByName &ports, const std::string &name) {
    return ports.try_emplace(name, name).first->second;
}

// Both: USB serial drivers announce the COM port interface, some older ones only join the Ports
// class, and modem-class devices (many CDC ACM boards) only announce the interface.
struct DeviceSource {
    const GUID *guid;
    DWORD flags;
};
constexpr DeviceSource kDeviceSources[] = {
    {.guid = &GUID_DEVINTERFACE_COMPORT, .flags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE},
    {.guid = &GUID_DEVCLASS_PORTS, .flags = DIGCF_PRESENT},
};

std::string DeviceText(HDEVINFO devices, SP_DEVINFO_DATA &device, DWORD property) {
    char text[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, property, nullptr,
                                           reinterpret_cast<BYTE *>(text), sizeof text - 1,
                                           nullptr)) {
        return {};
    }
    return text;
}

std::string RegistryText(HKEY key, const char *name) {
    char text[256] = {};
    DWORD size = sizeof text - 1, type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    return text;
}

// The COM name the port's driver was given (Ports also holds the printer ports, LPT1).
std::string PortName(HDEVINFO devices, SP_DEVINFO_DATA &device) {
    const HKEY key =
        SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return {};
    std::string name = RegistryText(key, "PortName");
    RegCloseKey(key);
    return name.starts_with("LPT") ? std::string() : name;
}

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// From the first USB device at or above the port in the device tree: its instance id
// "USB\VID_0403&PID_6001\A10K3Z2B" gives the ids (lowercase, as Linux shows them) and the serial
// number. The port of an FTDI driver sits below its USB device, a function of a composite device
// ("...&MI_00\...") below the device that holds the serial number; an instance id Windows made up
// for a device without one has '&' in it.
void ReadUsbIdentity(DEVINST device, SerialPortInfo &port) {
    constexpr std::string_view kUsb = "USB\\VID_", kProduct = "&PID_";
    constexpr size_t kProductAt = kUsb.size() + 4, kIdsEnd = kProductAt + kProduct.size() + 4;
    for (DEVINST at = device;;) {
        char id[MAX_DEVICE_ID_LEN + 1] = {};
        if (CM_Get_Device_IDA(at, id, sizeof id, 0) != CR_SUCCESS) return;
        const std::string_view instance(id);
        if (instance.starts_with(kUsb) && instance.size() > kIdsEnd &&
            instance.substr(kProductAt, kProduct.size()) == kProduct) {
            if (port.vendorId.empty()) {
                port.vendorId = Lowercase(std::string(instance.substr(kUsb.size(), 4)));
                port.productId = Lowercase(std::string(instance.substr(kIdsEnd - 4, 4)));
            }
            const std::string_view serial = instance.substr(instance.rfind('\\') + 1);
            if (serial.find('&') == std::string_view::npos) {
                port.serialNumber = serial;
                return;
            }
            if (instance.find("&MI_") == std::string_view::npos) return;
        }
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, at, 0) != CR_SUCCESS) return;
        at = parent;
    }
}

void AddPlugAndPlayPorts(PortsByName &ports) {
    for (const DeviceSource &source : kDeviceSources) {
        const HDEVINFO devices = SetupDiGetClassDevsA(source.guid, nullptr, nullptr, source.flags);
        if (devices == INVALID_HANDLE_VALUE) continue;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
            const std::string name = PortName(devices, device);
            if (name.empty()) continue;
            SerialPortInfo &port = Port(ports, name);
            port.friendlyName = DeviceText(devices, device, SPDRP_FRIENDLYNAME);
            port.driver = DeviceText(devices, device, SPDRP_SERVICE);
            port.manufacturer = DeviceText(devices, device, SPDRP_MFG);
            ReadUsbIdentity(device.DevInst, port);
        }
        SetupDiDestroyDeviceInfoList(devices);
    }
}

// What the serial drivers announce: "\Device\Serial0" = "COM1".
void AddAnnouncedPorts(PortsByName &ports) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        char device[256], name[64] = {};
        DWORD deviceSize = sizeof device, nameSize = sizeof name - 1, type = 0;
        if (RegEnumValueA(key, index, device, &deviceSize, nullptr, &type,
                          reinterpret_cast<BYTE *>(name), &nameSize) != ERROR_SUCCESS) {
            break;
        }
        if (type == REG_SZ && name[0] != '\0') Port(ports, name);
    }
    RegCloseKey(key);
}

void AddDosDevicePorts(PortsByName &ports) {
    std::vector<char> names(1 << 16);
    const DWORD length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    for (DWORD at = 0; at < length && names[at] != '\0';) {
        const std::string name(&names[at]);
        at += static_cast<DWORD>(name.size() + 1);
        const bool numbered = name.size() > 3 && name.starts_with("COM") &&
                              std::all_of(name.begin() + 3, name.end(),
                                          [](char c) { return c >= '0' && c <= '9'; });
        if (numbered) Port(ports, name);
    }
}

constexpr const char *kHeld = "held by another process";

// Opening fails for these reasons whatever else is known about the port.
struct OpenFailure {
    DWORD error;
    const char *reason;
};
constexpr OpenFailure kOpenFailures[] = {
    {.error = ERROR_FILE_NOT_FOUND, .reason = "no such device"},
    {.error = ERROR_PATH_NOT_FOUND, .reason = "no such device"},
    {.error = ERROR_DEV_NOT_EXIST, .reason = "no such device"},
    {.error = ERROR_DEVICE_NOT_CONNECTED, .reason = "no such device"},
    {.error = ERROR_SHARING_VIOLATION, .reason = kHeld},
};

// Why an open handle that answers no serial request is no port. Wine opens a port mapped to a
// path that does not exist, as a handle of no kind.
struct HandleKind {
    DWORD type;
    const char *reason;
};
constexpr HandleKind kHandleKinds[] = {
    {.type = FILE_TYPE_DISK, .reason = "not a serial device: a regular file"},
    {.type = FILE_TYPE_PIPE, .reason = "not a serial device: a pipe"},
    {.type = FILE_TYPE_CHAR,
     .reason = "not a serial device: a character device that is not a serial port"},
    {.type = FILE_TYPE_UNKNOWN, .reason = "no such device"},
};

std::string NotSerialProblem(HANDLE file) {
    const DWORD type = GetFileType(file);
    const auto kind = std::find_if(std::begin(kHandleKinds), std::end(kHandleKinds),
                                   [&](const HandleKind &known) { return known.type == type; });
    return kind == std::end(kHandleKinds) ? "not a serial device" : kind->reason;
}

// Whether the port's own access rules refuse this user reading and writing it. While another
// program holds the port, reading its rules is refused too: then they are not what refuses.
bool RulesRefuseThisUser(const std::string &device) {
    PSECURITY_DESCRIPTOR rules = nullptr;
    if (GetNamedSecurityInfoA(device.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                  DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &rules) != ERROR_SUCCESS) {
        return false;
    }
    HANDLE process = nullptr, user = nullptr;
    BOOL allowed = TRUE;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &process) &&
        DuplicateToken(process, SecurityImpersonation, &user)) {
        GENERIC_MAPPING mapping{.GenericRead = FILE_GENERIC_READ,
                                .GenericWrite = FILE_GENERIC_WRITE,
                                .GenericExecute = FILE_GENERIC_EXECUTE,
                                .GenericAll = FILE_ALL_ACCESS};
        DWORD wanted = GENERIC_READ | GENERIC_WRITE, granted = 0;
        MapGenericMask(&wanted, &mapping);
        PRIVILEGE_SET privileges{};
        DWORD privilegesSize = sizeof privileges;
        if (!AccessCheck(rules, user, wanted, &mapping, &privileges, &privilegesSize, &granted,
                         &allowed)) {
            allowed = TRUE;
        }
    }
    for (HANDLE token : {process, user}) {
        if (token != nullptr) CloseHandle(token);
    }
    LocalFree(rules);
    return !allowed;
}

// Opening is refused to a folder (a Wine port mapped to one), to a user the port's access rules
// leave out, and, since a serial driver lets one program at a time open its port, to everyone
// while another program has it.
std::string RefusalProblem(const std::string &path, const std::string &device) {
    const DWORD attributes = GetFileAttributesA(device.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return "not a serial device: a directory";
    }
    if (RulesRefuseThisUser(device)) {
        return "permission denied: the access rules of " + path +
               " refuse this user; an administrator can change them";
    }
    return kHeld;
}

std::string SystemMessage(DWORD error) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, sizeof text, nullptr);
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' ')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error) : message;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
    PortsByName ports;
    AddPlugAndPlayPorts(ports);
    AddAnnouncedPorts(ports);
    AddDosDevicePorts(ports);
    std::vector<SerialPortInfo> sorted;
    for (auto &[name, port] : ports) sorted.push_back(std::move(port));
    return sorted;
}

std::optional<std::string> PortProblem(const std::string &path) {
    const std::string device = "\\\\.\\" + path;
    const HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
        DCB settings{};
        settings.DCBlength = sizeof settings;
        std::optional<std::string> problem;
        if (!GetCommState(port, &settings)) problem = NotSerialProblem(port);
        CloseHandle(port);
        return problem;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) return RefusalProblem(path, device);
    const auto known =
        std::find_if(std::begin(kOpenFailures), std::end(kOpenFailures),
                     [&](const OpenFailure &failure) { return failure.error == error; });
    if (known != std::end(kOpenFailures)) return known->reason;
    return "cannot open: " + SystemMessage(error);
}

unsigned PortSpeed(const std::string &path) {
    (void)path;  // the port is exclusive while the library has it open
    return 0;
}

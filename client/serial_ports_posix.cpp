// Serial ports on Linux: sysfs tells the devices and their USB details, /proc who holds a port.
#include "client/serial_ports.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <map>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr const char *kStableNames = "/dev/serial/by-id";
constexpr const char *kTtyClass = "/sys/class/tty";

std::string FirstLine(const fs::path &file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// The folder of the USB device above a tty's device in sysfs; empty when it is not on USB.
fs::path UsbDeviceFolder(const fs::path &device) {
    std::error_code error;
    for (fs::path folder = fs::canonical(device, error); !error && folder.has_relative_path();
         folder = folder.parent_path()) {
        if (fs::exists(folder / "idVendor", error)) return folder;
    }
    return {};
}

// Real serial hardware: a tty with a device behind it that is not one of the legacy platform
// ports every PC kernel lists whether or not they exist.
bool IsSerialHardware(const fs::path &tty) {
    std::error_code error;
    const fs::path device = tty / "device";
    if (!fs::exists(device, error)) return false;
    const std::string name = tty.filename().string();
    if (name.starts_with("ttyUSB") || name.starts_with("ttyACM")) return true;
    return fs::canonical(device / "subsystem", error).filename() != "platform";
}

SerialPortInfo DescribeTty(const fs::path &tty) {
    std::error_code error;
    SerialPortInfo info("/dev/" + tty.filename().string());
    info.driver = fs::canonical(tty / "device" / "driver", error).filename().string();
    const fs::path usb = UsbDeviceFolder(tty / "device");
    if (!usb.empty()) {
        info.vendorId = FirstLine(usb / "idVendor");
        info.productId = FirstLine(usb / "idProduct");
        info.manufacturer = FirstLine(usb / "manufacturer");
        info.product = FirstLine(usb / "product");
        info.serialNumber = FirstLine(usb / "serial");
    }
    return info;
}

std::string ProcessName(const std::string &pid) {
    return FirstLine(fs::path("/proc") / pid / "comm") + " (pid " + pid + ")";
}

// The processes holding a lock on the device node, as the kernel lists them in /proc/locks
// ("1: FLOCK  ADVISORY  WRITE 4242 00:05:87 0 EOF"): found without opening the port.
std::vector<std::string> LockHolders(const struct stat &node) {
    std::vector<std::string> holders;
    std::ifstream locks("/proc/locks");
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(node.st_dev), minor(node.st_dev),
                  static_cast<unsigned long long>(node.st_ino));
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, file;
        if (fields >> number >> kind >> mode >> access >> pid >> file && file == wanted) {
            holders.push_back(ProcessName(pid));
        }
    }
    return holders;
}

// Other processes with the device open. Only the processes whose descriptors this user may look
// at are seen.
std::vector<std::string> OpenedBy(const struct stat &port) {
    std::vector<std::string> holders;
    std::error_code error;
    const std::string self = std::to_string(getpid());
    for (const fs::directory_entry &process : fs::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename().string();
        if (pid == self || !std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
        std::error_code unreadable;
        for (const fs::directory_entry &fd :
             fs::directory_iterator(process.path() / "fd", unreadable)) {
            struct stat opened {};
            if (stat(fd.path().c_str(), &opened) == 0 && S_ISCHR(opened.st_mode) &&
                opened.st_rdev == port.st_rdev) {
                holders.push_back(ProcessName(pid));
                break;
            }
        }
    }
    return holders;
}

std::string Joined(const std::vector<std::string> &pieces) {
    std::string joined;
    for (const std::string &piece : pieces) joined += (joined.empty() ? "" : ", ") + piece;
    return joined;
}

std::string HeldBy(const std::vector<std::string> &holders) {
    return holders.empty() ? "held by another process"
                           : "held by another process: " + Joined(holders);
}

// What a user lacking access should do: join the owning group when that group may use the port.
std::string PermissionProblem(const std::string &path, const struct stat &port) {
    const group *owningGroup = getgrgid(port.st_gid);
    const std::string groupName =
        owningGroup != nullptr ? owningGroup->gr_name : std::to_string(port.st_gid);
    if ((port.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
        return "permission denied: " + path + " belongs to group " + groupName +
               "; join it (sudo usermod -aG " + groupName + " $USER) and log in again";
    }
    const passwd *owner = getpwuid(port.st_uid);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(port.st_mode & 07777));
    return "permission denied: only its owner " +
           (owner != nullptr ? std::string(owner->pw_name) : std::to_string(port.st_uid)) +
           " may use " + path + " (mode " + mode + ", group " + groupName +
           "); a udev rule can give it to a group (see docs/tool.md)";
}

std::string FileKind(const struct stat &file) {
    if (S_ISREG(file.st_mode)) return "a regular file";
    if (S_ISDIR(file.st_mode)) return "a directory";
    if (S_ISCHR(file.st_mode)) return "a character device that is not a terminal";
    return "not a character device";
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
    std::map<std::string, SerialPortInfo> ports;
    std::error_code error;
    for (const fs::directory_entry &tty : fs::directory_iterator(kTtyClass, error)) {
        if (IsSerialHardware(tty.path())) {
            SerialPortInfo info = DescribeTty(tty.path());
            ports.emplace(info.path, std::move(info));
        }
    }
    for (const fs::directory_entry &link : fs::directory_iterator(kStableNames, error)) {
        std::error_code unresolved;
        const std::string target = fs::canonical(link.path(), unresolved).string();
        const auto port = ports.find(target);
        if (!unresolved && port != ports.end()) {
            port->second.stableNames.push_back(link.path().string());
        }
    }
    std::vector<SerialPortInfo> sorted;
    for (auto &[path, info] : ports) {
        std::sort(info.stableNames.begin(), info.stableNames.end());
        sorted.push_back(std::move(info));
    }
    return sorted;
}

std::optional<std::string> PortProblem(const std::string &path) {
    struct stat port {};
    if (stat(path.c_str(), &port) != 0) {
        if (errno == EACCES) return "permission denied: a folder on the way to " + path;
        return std::string("no such device");
    }
    if (!S_ISCHR(port.st_mode)) return "not a serial device: " + FileKind(port);
    if (access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        return PermissionProblem(path, port);
    }
    // A port someone else holds is left alone: not even opened to look at it.
    const std::vector<std::string> holders = LockHolders(port);
    if (!holders.empty()) return HeldBy(holders);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EBUSY) return HeldBy(OpenedBy(port));  // opened for exclusive use
        if (errno == EACCES || errno == EPERM) return PermissionProblem(path, port);
        if (errno == ENXIO || errno == ENODEV || errno == ENOENT) return "no such device";
        return std::string("cannot open: ") + std::generic_category().message(errno);
    }
    std::optional<std::string> problem;
    if (!isatty(fd)) {
        problem = "not a serial device: " + FileKind(port);
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        problem = HeldBy({});  // locked by a process this user cannot look into
    }
    close(fd);
    return problem;
}

unsigned PortSpeed(const std::string &path) {
    static const std::map<speed_t, unsigned> kSpeeds = {
        {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    termios settings{};
    const bool read = tcgetattr(fd, &settings) == 0;
    close(fd);
    const auto speed = kSpeeds.find(cfgetispeed(&settings));
    return read && speed != kSpeeds.end() ? speed->second : 0;
}

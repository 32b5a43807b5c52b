// The machine's serial ports as the system knows them, and why a port cannot be used. The
// library's own status for a port that fails is one code for every cause; a person needs to know
// which cause, and what to do about it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct SerialPortInfo {
    explicit SerialPortInfo(std::string portPath) : path(std::move(portPath)) {}

    std::string path;                      // "/dev/ttyUSB0", "COM3"
    // As Windows shows it: "USB Serial Port (COM3)"; Linux gives none.
    std::string friendlyName;
    std::vector<std::string> stableNames;  // /dev/serial/by-id links that point to it
    // "ftdi_sio", "cdc_acm" (on Windows its service: "FTDIBUS", "usbser"); empty when unknown
    std::string driver;
    // Of the USB device behind the port (on Windows the manufacturer its driver names); empty
    // when it is not on USB or the system does not say.
    std::string vendorId, productId, manufacturer, product, serialNumber;
};

// Sorted by path (on Windows by number: COM3 before COM12).
std::vector<SerialPortInfo> ListSerialPorts();

// Why the port cannot be used, in words and with the fix where there is one ("no such device",
// "permission denied: ...", "held by another process: minicom (pid 4242)", "not a serial
// device: ..."); nothing when no cause is found. Looks without disturbing a port another process
// holds.
std::optional<std::string> PortProblem(const std::string &path);

// The line speed the port is set to now, in bits per second; 0 when it cannot be read. The library
// opens a bridge supply at 9600 and a text supply at 115200, which tells the tool which it found.
unsigned PortSpeed(const std::string &path);

// Instrument sockets: each device on a TCP port of its own, as networked instruments are (pyvisa's
// TCPIP::host::port::SOCKET). One command per line (LF or CR LF), exactly one reply line each,
// whatever the line's length: the reply, OK for a command that succeeded with an empty reply, or
// "ERR <code> <name>: <message>". The codes are the library's statuses and, for the service's own
// refusals, 400 (bad line), 401 (token), 403 (read-only), 409 (device gone) and 503 (busy).
// "AUTH <token>" unlocks commands that change a setting on that connection when control is allowed.
// "*IDN?" is answered by the service: "MavoZARP,<head type>,<head id>,<library version>".
//
// What is not the line protocol is refused whole: a connection whose first line is an HTTP request
// line (a browser's form posted to this port), or that carries a byte outside printable ASCII,
// tab, CR and LF, is closed at once without any of its lines run.
//
// The sockets run on the service's event loop; a connection reads its next line only once the
// reply to the last one is written, so a client that does not read holds a bounded amount of
// memory and loses its connection at the write deadline.
#pragma once

#include "command_gate.h"
#include "device_registry.h"
#include "event_loop.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

struct InstrumentOptions {
    std::string address = "127.0.0.1";
    uint16_t firstPort = 5025;  // devices take consecutive ports; 0: any free port each
    size_t connectionsPerDevice = 8;
    size_t longestLine = 256;
    std::chrono::seconds idle{300};  // a silent connection is closed after this
    std::chrono::seconds write{10};  // a reply reaching a client that does not read
};

class InstrumentSockets {
public:
    // Every line that reaches a device passes the gate.
    InstrumentSockets(EventLoop &loop, CommandGate &gate, InstrumentOptions options);
    ~InstrumentSockets();  // stops the loop it serves on: every socket and connection closes

    // A device arrived (its socket opens) or left (its connections are told ERR 409 and close,
    // its socket closes). A device that comes back gets the port it had.
    void DeviceChanged(const std::shared_ptr<ServedDevice> &device, bool arrived);

    std::map<std::string, uint16_t> Ports() const;  // by device id, of the devices served now

    class DeviceSocket;

private:
    EventLoop &loop_;
    CommandGate &gate_;
    InstrumentOptions options_;
    std::string libraryVersion_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<DeviceSocket>> sockets_;
    std::map<std::string, uint16_t> assigned_;  // every port ever given, by device id
    uint16_t nextPort_;
};

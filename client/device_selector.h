// Which device a program works on. Handles live only inside one process, so every program names
// its device anew: the simulated head, a serial port, or a supply on the adapters by position.
#pragma once

#include <stdexcept>
#include <string>

struct DeviceSelector {
    enum class Kind { Simulated, Port, Adapter };
    Kind kind = Kind::Simulated;
    std::string port;           // Port: the path or port name
    unsigned adapterIndex = 0;  // Adapter: position in the order scan lists the supplies

    std::string Describe() const;  // "--port /dev/ttyUSB0", as it was given
};

// A failure in reaching or using a device (none there, a refused command): the programs print it
// and end with exit status 1.
struct DeviceError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

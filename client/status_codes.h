// Names and meanings of the library's status codes, for messages a person reads.
#pragma once

#include <cstdint>
#include <string>

struct StatusDescription {
    int32_t code;
    const char *name;     // "invalid command"
    const char *meaning;  // "not understood or not supported by this head"
    // The failure lies in the command itself (other commands may still succeed), not in reaching
    // the device.
    bool ofTheCommand = false;
};

// The description of a status. Codes the library does not define are the adapter library's own
// status, passed back unchanged by a few calls; they get a generic description.
StatusDescription DescribeStatus(int32_t status);

// "-3 invalid command: not understood or not supported by this head"
std::string StatusMessage(int32_t status);

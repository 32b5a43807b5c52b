// mavozarp serve: the service's command line and configuration file, and the run from start to
// SIGINT/SIGTERM.
#pragma once

#include "arguments.h"

inline constexpr OptionDefinition kServeOptions[] = {
    {"--config", "FILE", "a JSON file naming devices and options (see the README)"},
    {"--simulated", nullptr, "serve the simulated head (handle -1)"},
    {"--port", "PATH", "serve the supply on this serial port (repeatable)", true},
    {"--adapters", nullptr, "serve every supply on the USB-to-I2C adapters, rescanned"},
    {"--rescan", "S", "seconds between rescans of the adapters (default 2)"},
    {"--listen", "ADDRESS", "address of the HTTP API (default 127.0.0.1)"},
    {"--http-port", "N", "port of the HTTP API (default 8080; 0 any free port)"},
    {"--host-name", "NAME", "a name clients reach the service by, for the Host check (repeatable)",
     true},
    {"--instrument-address", "ADDRESS", "address of the instrument sockets (default 127.0.0.1)"},
    {"--instrument-port", "N", "first instrument socket port, one per device (default 5025; 0 any)"},
    {"--token-file", "FILE", "the bearer token, in a file only its owner may read"},
    {"--allow-control", nullptr, "accept commands that change settings (with the token)"},
};

int RunServe(const ParsedArguments &arguments);

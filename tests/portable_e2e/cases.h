// The cases of the suite, by the part of the library they reach, in the order they run.
#pragma once

#include <span>

#include "harness.h"
#include "suite.h"

namespace e2e {

std::span<const TestCase> BasicCases();    // version, unknown handles, simulated head, numbers
std::span<const TestCase> AdapterCases();  // the adapter library: discovery, heads, its absence
std::span<const TestCase> SerialCases();   // bridges and a text supply on serial ports

// Identifies the head of a device that carries `model` and runs the same commands on it through
// whichever route `route` names ("adapter", "bridge"); the replies are observations, and a route
// run after another must answer every command exactly as the first did.
void CommandHead(const char *route, const HeadModel &model, MavoZARP_Handle device);

// What a head creation writes to the standard output.
std::string DiagnosticLines(const std::string &headType, int32_t status);

}  // namespace e2e

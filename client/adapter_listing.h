// Why discovery found no supply, as the adapter library itself tells it. The library hides a
// failed enumeration (it counts as no adapter at all); a person needs to know that the adapters
// could not be listed, and why: the launcher of virtual supplies stopped, the USB subsystem out
// of reach. Asked of the adapter library the process has loaded already, through its own entry
// points; nothing is loaded for it.
#pragma once

#include <optional>
#include <string>

// Nothing when the adapter library is not loaded or lists its adapters without failure.
std::optional<std::string> AdapterListingProblem();

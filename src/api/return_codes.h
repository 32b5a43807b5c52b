// Status codes of the exports and the mapping of failure messages onto them.
#pragma once

#include <cstdint>

#include "MavoZARP.h"

// The code of the first rule that fires: equality with the command layer's messages, then
// containment of the transports' class names. An unknown or empty text gives -999.
int32_t MapFailureMessage(const char *message);

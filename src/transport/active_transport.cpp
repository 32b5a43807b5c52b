#include "transport/active_transport.h"

namespace {
int32_t activeTransport = kNoTransport;
}

void SelectTransport(int32_t transport) { activeTransport = transport; }
int32_t ActiveTransport() { return activeTransport; }

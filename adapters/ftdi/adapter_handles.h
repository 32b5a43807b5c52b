// What the entry points know about the engines they opened, for the USB side's own use.
#pragma once

#include "transport/adapter_entry_points.h"
#include "usb_link.h"

namespace ftdi_adapter {

// The handle under which `link` is open now; 0 when no open handle uses it.
AdapterHandle HandleOfLink(const MpsseLink *link);

}  // namespace ftdi_adapter

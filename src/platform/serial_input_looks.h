// The input wait of a system that cannot sleep until input comes: look at the bytes waiting,
// pause a millisecond, look again.
#pragma once

#include <cstdint>

#include "platform/serial_device.h"

namespace SerialDevice {

// True once `count` bytes are waiting; false after `pauses` pauses of 1 ms without them, that is
// after one look more than pauses. Coarse sleeps stretch the bound.
bool AwaitBytesWaitingByLooks(Handle device, uint32_t count, uint32_t pauses);

}  // namespace SerialDevice

#include "platform/serial_input_looks.h"

#include "platform/sleep.h"

namespace SerialDevice {

bool AwaitBytesWaitingByLooks(Handle device, uint32_t count, uint32_t pauses) {
    for (uint32_t paused = 0; BytesWaiting(device) < count; ++paused) {
        if (paused == pauses) {
            return false;
        }
        SleepMilliseconds(1);
    }
    return true;
}

}  // namespace SerialDevice

#include "api/head_factory.h"

#include "MavoZARP.h"

int32_t CreateHeadForSlot(DeviceSlot &slot, char *headType) {
    (void)slot;
    headType[0] = '\0';
    return MAVOZARP_STATUS_INVALID_HEAD;
}

int32_t InitializeBridgeHead(DeviceSlot &slot, char *headType) {
    return CreateHeadForSlot(slot, headType);
}

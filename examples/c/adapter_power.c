/* Finds the supplies on the USB-to-I2C adapters, identifies each head and reads its power. */
#include <stdio.h>
#include <string.h>

#include <MavoZARP.h>

int main(void) {
    MavoZARP_Handle all[MAVOZARP_MAX_DEVICES], added[MAVOZARP_MAX_DEVICES],
        removed[MAVOZARP_MAX_DEVICES];
    int32_t allCount = 0, addedCount = 0, removedCount = 0;
    const int32_t found =
        MavoZARP_CheckForDevices(all, &allCount, added, &addedCount, removed, &removedCount);
    if (found != MAVOZARP_STATUS_SUCCESS) {
        fprintf(stderr, "discovery failed: status %d\n", (int)found);
        return 1;
    }
    printf("%d supplies\n", (int)allCount);
    int failures = 0;
    for (int32_t i = 0; i < allCount; ++i) {
        /* Identifying a head prints two diagnostic lines ("Exit headType=...") to stdout. */
        char headType[MAVOZARP_BUFFER_SIZE] = "";
        const int32_t identified = MavoZARP_InitializeHandle(all[i], headType);
        char power[MAVOZARP_BUFFER_SIZE] = "";
        const int32_t read = identified == MAVOZARP_STATUS_SUCCESS
                                 ? MavoZARP_SendCommand(all[i], "?P", power)
                                 : identified;
        power[strcspn(power, "\r\n")] = '\0';
        if (read != MAVOZARP_STATUS_SUCCESS) {
            printf("supply %d: %s: status %d\n", (int)i, headType, (int)read);
            ++failures;
        } else {
            printf("supply %d: %s: power %s\n", (int)i, headType, power);
        }
        MavoZARP_Close(all[i]);
    }
    return failures == 0 ? 0 : 1;
}

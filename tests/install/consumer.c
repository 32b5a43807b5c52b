/* A program built against an installed MavoZARP: as C through pkg-config, as C++ through the
 * CMake package. It prints the version, then the simulated head's replies to its arguments. */
#include <MavoZARP.h>
#include <stdio.h>

int main(int argc, char **argv) {
    char version[MAVOZARP_BUFFER_SIZE] = "";
    if (MavoZARP_GetDLLVersion(version) != MAVOZARP_STATUS_SUCCESS) return 1;
    printf("%s\n", version);
    for (int i = 1; i < argc; ++i) {
        char reply[MAVOZARP_BUFFER_SIZE] = "";
        const int32_t status = MavoZARP_SendCommand(MAVOZARP_SIMULATED_HANDLE, argv[i], reply);
        printf("%s -> %d %s", argv[i], (int)status, reply);
        if (status != MAVOZARP_STATUS_SUCCESS) return 1;
    }
    return 0;
}

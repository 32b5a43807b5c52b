/* The simulated head (handle -1): no hardware, no opening. Reads the power, sets the power
 * command, reads again, and shows how a refused command looks. */
#include <stdio.h>
#include <string.h>

#include <MavoZARP.h>

/* Sends one command and prints it with its reply (the library ends every reply in "\r\n"). */
static int Send(const char *command) {
    char reply[MAVOZARP_BUFFER_SIZE] = "";
    const int32_t status = MavoZARP_SendCommand(MAVOZARP_SIMULATED_HANDLE, command, reply);
    reply[strcspn(reply, "\r\n")] = '\0';
    if (status != MAVOZARP_STATUS_SUCCESS) {
        printf("%-10s -> status %d\n", command, (int)status);
        return 1;
    }
    printf("%-10s -> %s\n", command, reply[0] ? reply : "(ok)");
    return 0;
}

int main(void) {
    char version[MAVOZARP_BUFFER_SIZE] = "";
    MavoZARP_GetDLLVersion(version);
    printf("%s\n", version);
    int failures = 0;
    failures += Send("?P");
    failures += Send("PCMD=2.5");
    failures += Send("?P");
    failures += Send("?HTYPE");
    /* The simulated head has no THG stage: the library refuses with -3 (invalid command). */
    const int refused = Send("?TTHG");
    return failures == 0 && refused == 1 ? 0 : 1;
}

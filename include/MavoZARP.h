/*
 * MavoZARP: control of laser power supplies and their laser heads.
 *
 * A host finds supplies on USB-to-I2C adapters (MavoZARP_CheckForDevices) or opens one on a
 * serial port (MavoZARP_OpenSerialPort), identifies the head on it (MavoZARP_InitializeHandle),
 * sends text commands such as "?P" or "PCMD=1.5" (MavoZARP_SendCommand) and closes it
 * (MavoZARP_Close). Handle -1 is a simulated head that needs no hardware.
 *
 * Every function returns a status: 0 on success, one of the MAVOZARP_STATUS_* codes below on
 * failure. Any thread may call any function; the library runs one call at a time.
 */
#ifndef MAVOZARP_H
#define MAVOZARP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define MAVOZARP_CALL __stdcall
#else
#define MAVOZARP_CALL
#endif

#ifndef MAVOZARP_API
#define MAVOZARP_API
#endif

/* A device handle: pointer-sized, opaque, given out by discovery or by opening a serial port. */
typedef intptr_t MavoZARP_Handle;

/* The handle of the simulated head; it needs no opening and is never closed. */
#define MAVOZARP_SIMULATED_HANDLE ((MavoZARP_Handle)-1)

/* Size of every text buffer the library reads from or writes to (version, head type, reply). */
#define MAVOZARP_BUFFER_SIZE 100

/* Number of entries of each of the three device lists of MavoZARP_CheckForDevices. */
#define MAVOZARP_MAX_DEVICES 20

/* Status codes. Close and GetDLLVersion may also pass back the adapter library's own status. */
#define MAVOZARP_STATUS_SUCCESS             0    /* success */
#define MAVOZARP_STATUS_UNKNOWN_HANDLE      (-1)   /* the handle is not known (or -1 given to Close) */
#define MAVOZARP_STATUS_INVALID_HEAD        (-2)   /* no head identified, or the head type is unknown */
#define MAVOZARP_STATUS_INVALID_COMMAND     (-3)   /* command not understood or not supported */
#define MAVOZARP_STATUS_INVALID_DATA        (-4)   /* argument unreadable or out of range; null pointer */
#define MAVOZARP_STATUS_I2C_ERROR           (-5)   /* an I2C transfer through the adapter failed */
#define MAVOZARP_STATUS_ADAPTER_NOT_LOADED  (-100) /* the adapter library could not be loaded */
#define MAVOZARP_STATUS_ADAPTER_INCOMPLETE  (-101) /* the adapter library lacks an entry point */
#define MAVOZARP_STATUS_ADAPTER_EXCEPTION   (-102) /* the adapter library raised an exception */
#define MAVOZARP_STATUS_SERIAL_ERROR        (-300) /* serial port failure, or no supply on the port */
#define MAVOZARP_STATUS_LOCK_FAILED         (-400) /* the library's lock could not be taken */
#define MAVOZARP_STATUS_OTHER_ERROR         (-999) /* any other failure (bridge protocol and more) */

/*
 * Gives the library's version, "MavoZARP 2.1.0", in `version` (MAVOZARP_BUFFER_SIZE bytes).
 * If `version` holds exactly "?*" on entry, the adapter library's version is appended
 * ("MavoZARP 2.1.0; MavoFTCI2C <text>") and its status is returned; the adapter library is
 * loaded for that only.
 */
MAVOZARP_API int32_t MAVOZARP_CALL MavoZARP_GetDLLVersion(char *version);

/*
 * Looks for supplies on the USB-to-I2C adapters: opens the new ones, drops the ones that stopped
 * answering. Each list holds MAVOZARP_MAX_DEVICES handles: every supply now known, the ones new
 * since the last call, and the ones removed. Returns 0, -100, -101 or -400.
 */
MAVOZARP_API int32_t MAVOZARP_CALL MavoZARP_CheckForDevices(
    MavoZARP_Handle *allDevices, int32_t *allCount,
    MavoZARP_Handle *newDevices, int32_t *newCount,
    MavoZARP_Handle *removedDevices, int32_t *removedCount);

/*
 * Identifies the head on a supply and prepares it for commands. Writes the head's type text into
 * `headType` (MAVOZARP_BUFFER_SIZE bytes); "Dummy" for the simulated head.
 */
MAVOZARP_API int32_t MAVOZARP_CALL MavoZARP_InitializeHandle(MavoZARP_Handle device, char *headType);

/*
 * Sends one command of the text language to a device and writes the reply, ended by "\r\n",
 * into `reply` (MAVOZARP_BUFFER_SIZE bytes). On failure the reply is "\r\n" (or a text supply's
 * own error answer).
 */
MAVOZARP_API int32_t MAVOZARP_CALL MavoZARP_SendCommand(MavoZARP_Handle device, const char *command,
                                                        char *reply);

/* Closes a device. Serial devices are forgotten; adapter supplies stay listed until the next
 * MavoZARP_CheckForDevices. The simulated head (-1) is never closed: -1 is returned. */
MAVOZARP_API int32_t MAVOZARP_CALL MavoZARP_Close(MavoZARP_Handle device);

/*
 * Opens a supply on a serial port ("COM3" on Windows, "/dev/ttyUSB0" on Linux), finding out
 * whether a UART-to-I2C bridge or a text supply is attached, and gives its handle in
 * `openedDevice`. Returns 0, -300 (no supply found, or the port cannot be opened) or -400.
 */
MAVOZARP_API int32_t MAVOZARP_CALL MavoZARP_OpenSerialPort(const char *portName,
                                                           MavoZARP_Handle *openedDevice);

#ifdef __cplusplus
}
#endif

#endif /* MAVOZARP_H */

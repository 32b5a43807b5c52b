// Supplies on serial ports: a UART-to-I2C bridge, or a supply that takes the text commands itself.
#pragma once

#include <cstdint>

#include "MavoZARP.h"
#include "api/device_tables.h"

// Probes the port for a bridge (three times), then for a text supply (three times), and files it
// in its table. Takes the library's lock for each step, not for the whole call.
int32_t OpenSerialPort(const char *portName, MavoZARP_Handle *openedDevice);

// Each opens the port, asks, closes it again; they never raise and never change the tables.
bool ProbeBridge(const char *portName);
bool ProbeTextSupply(const char *portName);

// Open the port at the kind's speed and file it; 0, -300 or -400.
int32_t OpenBridgeDevice(const char *portName, MavoZARP_Handle *openedDevice);
int32_t OpenTextDevice(const char *portName, MavoZARP_Handle *openedDevice);

// Under the lock. Asks a text supply for its head type; 0, or -999 for any failure.
int32_t QueryTextHeadType(SerialPort::Line &line, char *headType);

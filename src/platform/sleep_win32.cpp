#include <windows.h>

#include "platform/sleep.h"

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

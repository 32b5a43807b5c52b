#pragma once

#include <cstdint>

// Pauses the calling thread for at least `milliseconds`.
void SleepMilliseconds(uint32_t milliseconds);

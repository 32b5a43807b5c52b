// The argument of a set command: the text after the first "=" of the (upper-cased) command.
#pragma once

#include <cstdint>

// Exactly "0" or "1" ending the text; anything else raises "Invalid data".
int32_t ParseOnOffArgument(const char *command);

// One finite number of the language after the "=", blanks before it allowed, anything after it
// ignored; no number, or one that is not finite, raises "Invalid data".
double ParseRealArgument(const char *command);

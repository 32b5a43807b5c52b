// The command language: one text command becomes one call of a head operation and a short reply.
#pragma once

#include <cstdint>

class CommonLaser;

// Writes the reply (at most 97 characters) into `result`, a buffer of 100 bytes, and returns 0;
// raises a failure message otherwise, with `result` empty. A null head raises "Invalid head".
int32_t InterpretCommand(CommonLaser *head, const char *command, char *result);

// A supply that takes the text commands itself, on a serial line: it names its type on request
// and answers each command, sent with a carriage return, with a line of text. Failures raise the
// SerialPort messages.
#pragma once

#include <cstdint>

#include "transport/serial_port.h"

namespace TextSupply {

inline constexpr uint32_t kBaud = 115200;

// Asks the supply's type; true when the answer names a supply ("ZARP..." or "KT...").
bool Identifies(SerialPort::Line &line);

// Sends the command and its carriage return and puts the answer, as it came, into `reply`
// (`capacity` bytes, terminated). An answer beginning "ERR" raises "Invalid command".
void PassThrough(SerialPort::Line &line, const char *command, char *reply, uint32_t capacity);

// Asks for the head type and copies the answer with its terminator into `headType` (`capacity`
// bytes); `headType` is untouched when no answer comes.
void QueryHeadType(SerialPort::Line &line, char *headType, uint32_t capacity);

}  // namespace TextSupply

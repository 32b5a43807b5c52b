#include "transport/text_supply.h"

#include <cstring>
#include <vector>

#include "base/failure_message.h"

namespace TextSupply {

namespace {

constexpr char kTypeRequest[] = "SYST:INF:TYPE?\r";
constexpr uint32_t kTypeAnswerSize = 80;
constexpr char kHeadTypeRequest[] = "?HTYPE\r";
constexpr uint8_t kCarriageReturn = 0x0D;

void WriteText(SerialPort::Handle port, const char *text, uint32_t length) {
    SerialPort::WriteBytes(port, reinterpret_cast<const uint8_t *>(text), length);
}

// Waits for the first byte, then takes whatever arrives (at most capacity - 1 bytes) as text.
void ReadAnswer(SerialPort::Handle port, char *text, uint32_t capacity) {
    SerialPort::WaitInputQueue(port, 1);
    const uint32_t count =
        SerialPort::ReadAvailable(port, reinterpret_cast<uint8_t *>(text), capacity - 1);
    text[count] = '\0';
}

}  // namespace

bool Identifies(SerialPort::Handle port) {
    WriteText(port, kTypeRequest, sizeof kTypeRequest - 1);
    char answer[kTypeAnswerSize];
    ReadAnswer(port, answer, sizeof answer);
    return std::strncmp(answer, "ZARP", 4) == 0 || std::strncmp(answer, "KT", 2) == 0;
}

void PassThrough(SerialPort::Handle port, const char *command, char *reply, uint32_t capacity) {
    WriteText(port, command, static_cast<uint32_t>(std::strlen(command)));
    SerialPort::WriteBytes(port, &kCarriageReturn, 1);
    ReadAnswer(port, reply, capacity);
    if (std::strncmp(reply, "ERR", 3) == 0) RaiseFailure(kInvalidCommand);
}

void QueryHeadType(SerialPort::Handle port, char *headType, uint32_t capacity) {
    WriteText(port, kHeadTypeRequest, sizeof kHeadTypeRequest - 1);
    std::vector<char> answer(capacity);
    ReadAnswer(port, answer.data(), capacity);
    // The answer and its terminator only: the rest of `answer` was never written.
    std::memcpy(headType, answer.data(), std::strlen(answer.data()) + 1);
}

}  // namespace TextSupply

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

void WriteText(SerialPort::Line &line, const char *text, uint32_t length) {
    SerialPort::WriteBytes(line, reinterpret_cast<const uint8_t *>(text), length);
}

// Waits for the first byte, then takes whatever arrives (at most capacity - 1 bytes) as text.
void ReadAnswer(SerialPort::Line &line, char *text, uint32_t capacity) {
    SerialPort::WaitInputQueue(line, 1);
    const uint32_t count =
        SerialPort::ReadAvailable(line, reinterpret_cast<uint8_t *>(text), capacity - 1);
    text[count] = '\0';
}

}  // namespace

bool Identifies(SerialPort::Line &line) {
    WriteText(line, kTypeRequest, sizeof kTypeRequest - 1);
    char answer[kTypeAnswerSize];
    ReadAnswer(line, answer, sizeof answer);
    return std::strncmp(answer, "ZARP", 4) == 0 || std::strncmp(answer, "KT", 2) == 0;
}

void PassThrough(SerialPort::Line &line, const char *command, char *reply, uint32_t capacity) {
    WriteText(line, command, static_cast<uint32_t>(std::strlen(command)));
    SerialPort::WriteBytes(line, &kCarriageReturn, 1);
    ReadAnswer(line, reply, capacity);
    if (std::strncmp(reply, "ERR", 3) == 0) RaiseFailure(kInvalidCommand);
}

void QueryHeadType(SerialPort::Line &line, char *headType, uint32_t capacity) {
    WriteText(line, kHeadTypeRequest, sizeof kHeadTypeRequest - 1);
    std::vector<char> answer(capacity);
    ReadAnswer(line, answer.data(), capacity);
    // The answer and its terminator only: the rest of `answer` was never written.
    std::memcpy(headType, answer.data(), std::strlen(answer.data()) + 1);
}

}  // namespace TextSupply

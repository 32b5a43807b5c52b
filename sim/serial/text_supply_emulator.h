// A supply that takes the text commands itself, on a pseudo-terminal (115200 baud). A command
// ends with a carriage return (line feeds are passed over, so hosts ending lines with CR LF are
// understood too); every answer ends with CR LF. Commands, matched as written (upper case):
//   SYST:INF:TYPE?  the identification          ?HTYPE       the head type
//   ?NAME           the value of a quantity      NAME=value   sets a settable quantity: "OK"
// with the quantities PCMD and ICMD (settable) and P and TMAIN (measured). Fixed answers set with
// SetAnswer take precedence; anything else is answered "ERR".
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "serial/pty_endpoint.h"

namespace sim {

class TextSupplyEmulator {
public:
    static constexpr std::string_view kIdentificationRequest = "SYST:INF:TYPE?";
    static constexpr std::string_view kHeadTypeRequest = "?HTYPE";
    static constexpr std::string_view kDefaultIdentification = "ZARP Text Supply v1";
    static constexpr std::string_view kDefaultHeadType = "Kora";
    // The supply's line rate, for pacing the line as a real one (PtyEndpoint::SetPacing).
    static constexpr uint32_t kLineBaud = 115200;

    TextSupplyEmulator();

    // The line a host opens, with the record of what came and the answer controls.
    PtyEndpoint &Line() { return line_; }

    // `command` (without its carriage return) is answered with `answer` and CR LF from now on.
    void SetAnswer(std::string_view command, std::string_view answer);
    // The value "?NAME" answers; false for a name that is not a quantity.
    bool SetValue(std::string_view name, std::string_view value);
    std::string Value(std::string_view name);

    // The answers to a piece of what a host sent, as the line sends them back; also for a host
    // that carries the bytes itself instead of through the pseudo-terminal.
    std::vector<std::vector<uint8_t>> Receive(std::span<const uint8_t> piece);

private:
    std::string AnswerTo(std::string_view command);

    std::mutex mutex_;
    std::map<std::string, std::string, std::less<>> fixedAnswers_;
    std::map<std::string, std::string, std::less<>> values_;
    std::string pendingCommand_;

    PtyEndpoint line_;  // last: serves once everything above is ready, stops first
};

}  // namespace sim

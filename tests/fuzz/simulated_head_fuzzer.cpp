// Commands of any bytes for the simulated head through MavoZARP_SendCommand, interleaved with the
// other exports on handle -1 and with number settings read back. Every reply must be terminated
// within its 100 bytes, end in CR LF and leave the bytes behind the buffer alone; only the codes
// the simulated head documents may come back; a number set must read back as strtod reads it.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "MavoZARP.h"
#include "fuzz_input.h"

namespace {


// Settings whose query gives back exactly the value set.
struct Setting {
    const char *set;
    const char *query;
};
constexpr Setting kSettings[] = {
    {"PCMD=", "?PCMD"},
    {"PMEM=", "?PMEM"},
    {"CCMD=", "?CCMD"},
};

// The characters of decimal numbers, where the library's reading and strtod's must agree.
constexpr char kNumberCharacters[] = " \t+-.0123456789eE";

struct Reply {
    int32_t status;
    std::string text;
};

// One call with a guarded reply buffer; aborts on a reply that breaks the rules.
Reply Send(const char *command) {
    char buffer[MAVOZARP_BUFFER_SIZE + kGuard];
    std::memset(buffer, kSentinel, sizeof buffer);
    const int32_t status = MavoZARP_SendCommand(MAVOZARP_SIMULATED_HANDLE, command, buffer);
    FUZZ_CHECK(status == MAVOZARP_STATUS_SUCCESS || status == MAVOZARP_STATUS_INVALID_COMMAND ||
               status == MAVOZARP_STATUS_INVALID_DATA || status == MAVOZARP_STATUS_OTHER_ERROR);
    for (size_t i = MAVOZARP_BUFFER_SIZE; i < sizeof buffer; ++i) FUZZ_CHECK(buffer[i] == kSentinel);
    const size_t length = strnlen(buffer, MAVOZARP_BUFFER_SIZE);
    FUZZ_CHECK(length < MAVOZARP_BUFFER_SIZE);
    const std::string text(buffer, length);
    FUZZ_CHECK(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
    if (status != MAVOZARP_STATUS_SUCCESS) FUZZ_CHECK(text == "\r\n");
    return {status, text};
}

// A command of the input's bytes: terminated within 100 bytes, or exactly 100 bytes without a
// terminator, in a heap block of its own size so that reading past it is caught.
void SendRawCommand(FuzzInput &input) {
    const size_t length = input.Byte() % (MAVOZARP_BUFFER_SIZE + 1);
    const std::vector<uint8_t> bytes = input.Bytes(length);
    const bool terminated = bytes.size() < MAVOZARP_BUFFER_SIZE;
    std::vector<char> command(bytes.begin(), bytes.end());
    if (terminated) command.push_back('\0');
    Send(command.data());
}

// A number set, then read back: what the library took must be what strtod reads.
void SetAndReadBack(FuzzInput &input) {
    const Setting &setting = kSettings[input.Byte() % std::size(kSettings)];
    std::string argument;
    for (size_t length = input.Byte() % 32; length > 0; --length) {
        argument += kNumberCharacters[input.Byte() % (sizeof kNumberCharacters - 1)];
    }
    const Reply set = Send((setting.set + argument).c_str());
    char *end = nullptr;
    errno = 0;
    const double expected = std::strtod(argument.c_str(), &end);
    const bool isNumber = end != argument.c_str() && std::isfinite(expected);
    if (set.status != MAVOZARP_STATUS_SUCCESS) {
        FUZZ_CHECK(set.status == MAVOZARP_STATUS_INVALID_DATA && !isNumber);
        return;
    }
    FUZZ_CHECK(isNumber);
    char formatted[512];
    std::snprintf(formatted, sizeof formatted, "%.3f\r\n", expected);
    const Reply read = Send(setting.query);
    if (std::strlen(formatted) > MAVOZARP_BUFFER_SIZE - 1) {
        FUZZ_CHECK(read.status == MAVOZARP_STATUS_OTHER_ERROR);
    } else {
        FUZZ_CHECK(read.status == MAVOZARP_STATUS_SUCCESS && read.text == formatted);
    }
}

// The other exports on the simulated handle, which must not disturb it.
void OtherExport(FuzzInput &input) {
    char text[MAVOZARP_BUFFER_SIZE] = "";
    switch (input.Byte() % 3) {
        case 0:
            FUZZ_CHECK(MavoZARP_InitializeHandle(MAVOZARP_SIMULATED_HANDLE, text) == 0);
            FUZZ_CHECK(std::strcmp(text, "Dummy") == 0);
            break;
        case 1:
            FUZZ_CHECK(MavoZARP_Close(MAVOZARP_SIMULATED_HANDLE) == MAVOZARP_STATUS_UNKNOWN_HANDLE);
            break;
        default:
            FUZZ_CHECK(MavoZARP_GetDLLVersion(text) == 0);
            FUZZ_CHECK(std::strcmp(text, "MavoZARP 2.1.0") == 0);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    while (!input.Empty()) {
        switch (input.Byte() % 8) {
            case 0:
                SetAndReadBack(input);
                break;
            case 1:
                OtherExport(input);
                break;
            default:
                SendRawCommand(input);
                break;
        }
    }
    return 0;
}

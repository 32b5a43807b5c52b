#include "api/return_codes.h"

#include <cstring>

namespace {

enum class Test { Equals, Contains };

struct MappingRule {
    Test test;
    const char *text;
    int32_t code;
};

// Ordered: the first rule that fires decides.
constexpr MappingRule kRules[] = {
    {Test::Equals, "Invalid handle", MAVOZARP_STATUS_UNKNOWN_HANDLE},
    {Test::Equals, "Invalid head", MAVOZARP_STATUS_INVALID_HEAD},
    {Test::Equals, "Invalid command", MAVOZARP_STATUS_INVALID_COMMAND},
    {Test::Equals, "Invalid data", MAVOZARP_STATUS_INVALID_DATA},
    {Test::Equals, "I2C error", MAVOZARP_STATUS_I2C_ERROR},
    {Test::Contains, "SerialPort::", MAVOZARP_STATUS_SERIAL_ERROR},
    {Test::Contains, "NXP::", MAVOZARP_STATUS_OTHER_ERROR},
    {Test::Contains, "ASCII error", MAVOZARP_STATUS_SERIAL_ERROR},
    {Test::Contains, "FTCI2C exception", MAVOZARP_STATUS_ADAPTER_EXCEPTION},
};

}  // namespace

int32_t MapFailureMessage(const char *message) {
    if (message == nullptr) return MAVOZARP_STATUS_OTHER_ERROR;
    for (const MappingRule &rule : kRules) {
        const bool fires = rule.test == Test::Equals ? std::strcmp(message, rule.text) == 0
                                                     : std::strstr(message, rule.text) != nullptr;
        if (fires) return rule.code;
    }
    return MAVOZARP_STATUS_OTHER_ERROR;
}

// Failures inside the library are constant message texts, thrown as FailureMessage and caught only
// at the exported functions, where MapFailureMessage turns them into status codes.
#pragma once

struct FailureMessage {
    const char *text;
};

[[noreturn]] inline void RaiseFailure(const char *text) { throw FailureMessage{text}; }

// The short messages of the command layer.
inline constexpr const char *kInvalidHead = "Invalid head";
inline constexpr const char *kInvalidCommand = "Invalid command";
inline constexpr const char *kInvalidData = "Invalid data";
inline constexpr const char *kI2cError = "I2C error";
inline constexpr const char *kFtcI2cException = "FTCI2C exception";
inline constexpr const char *kUnexpectedError = "Unexpected error";

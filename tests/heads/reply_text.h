// What a head answers to a command of the language, as one text for the expectations of the head
// tests: the reply, or the failure message prefixed with "failure: " (the reply then stays empty).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "MavoZARP.h"
#include "base/failure_message.h"
#include "heads/common_laser.h"
#include "interpreter/interpreter.h"

inline std::string ReplyText(CommonLaser &head, const std::string &command) {
    char reply[MAVOZARP_BUFFER_SIZE] = "stale";
    try {
        InterpretCommand(&head, command.c_str(), reply);
        return reply;
    } catch (const FailureMessage &failure) {
        EXPECT_STREQ(reply, "") << command;
        return std::string("failure: ") + failure.text;
    }
}

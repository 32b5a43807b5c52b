// The simulated head through the exported functions only: handle -1 answers without hardware and
// keeps its settings from call to call.
#include <gtest/gtest.h>

#include <string>

#include "MavoZARP.h"

namespace {

struct Answer {
    int32_t status;
    std::string reply;
};

Answer Send(const char *command) {
    char reply[MAVOZARP_BUFFER_SIZE] = "stale";
    const int32_t status = MavoZARP_SendCommand(MAVOZARP_SIMULATED_HANDLE, command, reply);
    return {status, reply};
}

TEST(SimulatedHead, TheFirstCommandCreatesItAndLaterOnesReachTheSameHead) {
    const Answer first = Send("?htype");
    EXPECT_EQ(first.status, MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(first.reply, "Dummy\r\n");

    EXPECT_EQ(Send("?PCMD").reply, "0.000\r\n");
    const Answer set = Send("PCMD=2.5");
    EXPECT_EQ(set.status, MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(set.reply, "\r\n");
    EXPECT_EQ(Send("?PCMD").reply, "2.500\r\n");
    EXPECT_EQ(Send("?P").reply, "2.600\r\n");

    // Identifying the head does not replace it.
    char headType[MAVOZARP_BUFFER_SIZE] = {};
    EXPECT_EQ(MavoZARP_InitializeHandle(MAVOZARP_SIMULATED_HANDLE, headType), 0);
    EXPECT_EQ(Send("?PCMD").reply, "2.500\r\n");
}

TEST(SimulatedHead, AnswersTheMatchWithTheTemperatureBitOnly) {
    const Answer match = Send("MATCH=1");
    EXPECT_EQ(match.status, MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(match.reply, "0008\r\n");
}

TEST(SimulatedHead, FailuresAnswerTheirCodesWithAnEmptyReply) {
    const struct {
        const char *command;
        int32_t status;
    } failures[] = {
        {"?TTHG", MAVOZARP_STATUS_INVALID_COMMAND}, {"?P ", MAVOZARP_STATUS_INVALID_COMMAND},
        {"MATCH=0", MAVOZARP_STATUS_INVALID_COMMAND}, {"PCMD=", MAVOZARP_STATUS_INVALID_DATA},
        {"PCMD=NAN", MAVOZARP_STATUS_INVALID_DATA},   {"SHCMD=2", MAVOZARP_STATUS_INVALID_DATA},
    };
    for (const auto &failure : failures) {
        const Answer answer = Send(failure.command);
        EXPECT_EQ(answer.status, failure.status) << failure.command;
        EXPECT_EQ(answer.reply, "\r\n") << failure.command;
    }
    const std::string tooLong = "?P" + std::string(98, 'X');
    EXPECT_EQ(Send(tooLong.c_str()).status, MAVOZARP_STATUS_INVALID_COMMAND);
}

TEST(SimulatedHead, KeepsTheControlModeWhileTheKeySwitchIsOn) {
    EXPECT_EQ(Send("KSWCMD=1").status, MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(Send("CMODECMD=1").status, MAVOZARP_STATUS_INVALID_DATA);
    EXPECT_EQ(Send("?CMODE").reply, "0\r\n");
    EXPECT_EQ(Send("KSWCMD=0").status, MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(Send("CMODECMD=1").status, MAVOZARP_STATUS_SUCCESS);
    EXPECT_EQ(Send("?CMODE").reply, "1\r\n");
}

}  // namespace

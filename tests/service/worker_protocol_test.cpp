// The frames between the service and its workers: every message comes back as it went, byte for
// byte the same when encoded again, and a body that is cut short, runs on, or announces more than
// it holds is refused rather than read past its end.
#include "worker_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace worker_protocol;

std::string Body(const std::string &frame) { return frame.substr(kLengthBytes); }

uint32_t LengthOf(const std::string &frame) {
    unsigned char length[kLengthBytes];
    for (size_t i = 0; i < kLengthBytes; ++i) length[i] = static_cast<unsigned char>(frame[i]);
    return FrameLength(length);
}

TEST(WorkerProtocol, EveryMessageComesBackAsItWent) {
    const Submit submit{0x0102030405060708, 7, {{"?P", "PCMD=1.5", ""}, BatchMode::UntilFailure}};
    const std::string frame = Encode(submit);
    EXPECT_EQ(LengthOf(frame), frame.size() - kLengthBytes);
    const std::optional<Submit> read = DecodeSubmit(Body(frame));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->request, submit.request);
    EXPECT_EQ(read->device, 7u);
    EXPECT_EQ(read->batch.commands, submit.batch.commands);
    EXPECT_EQ(read->batch.mode, BatchMode::UntilFailure);

    const FromWorker messages[] = {
        Arrived{3, "/dev/ttyUSB0", {"--port /dev/ttyUSB0", "serial", "PicoX"}},
        Departed{3},
        Settled{},
        Answer{9, {BatchOutcome::Ran, "", {{0, "1.500"}, {-5, std::string("a\0b", 3)}}}},
        Answer{10, {BatchOutcome::Busy, "the device stayed busy with other commands", {}}},
    };
    for (const FromWorker &message : messages) {
        const std::string encoded = Encode(message);
        const std::optional<FromWorker> decoded = DecodeFromWorker(Body(encoded));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->index(), message.index());
        EXPECT_EQ(Encode(*decoded), encoded);
    }
}

TEST(WorkerProtocol, MalformedBodiesAreRefused) {
    const std::string answer = Body(Encode(Answer{1, {BatchOutcome::Ran, "", {{0, "1.500"}}}}));
    for (size_t cut = 0; cut < answer.size(); ++cut)
        EXPECT_FALSE(DecodeFromWorker(answer.substr(0, cut))) << "cut at " << cut;
    EXPECT_FALSE(DecodeFromWorker(answer + "x"));

    std::string outcome = answer;
    outcome[1 + 8] = 3;  // past the last outcome
    EXPECT_FALSE(DecodeFromWorker(outcome));

    // A count of exchanges far beyond what the body holds is refused before anything is made.
    std::string count = answer;
    const size_t countAt = 1 + 8 + 1 + 4;
    for (size_t i = 0; i < 4; ++i) count[countAt + i] = '\xFF';
    EXPECT_FALSE(DecodeFromWorker(count));

    // A message of the other way, and an unknown kind.
    const std::string submit = Body(Encode(Submit{1, 1, {{"?P"}, BatchMode::Every}}));
    EXPECT_FALSE(DecodeFromWorker(submit));
    EXPECT_FALSE(DecodeSubmit(answer));
    EXPECT_FALSE(DecodeFromWorker(std::string(1, '\x7F')));
    std::string mode = submit;
    mode[1 + 8 + 4] = 2;  // past the last mode
    EXPECT_FALSE(DecodeSubmit(mode));
}

}  // namespace

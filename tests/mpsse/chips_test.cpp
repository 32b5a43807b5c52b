// Every kind of FTDI chip the adapter library may meet, in the engine model: only channels with an
// MPSSE engine are used, nothing is ever written to one without, discovery (through the library's
// exports, which load the adapter library by its plain name) waits for no answer when every chip
// behaves, and an engine that does not answer costs one wait until it is plugged again.
#include <algorithm>
#include <string>
#include <vector>

#include "MavoZARP.h"
#include "model_library.h"

namespace {

struct Discovery {
    std::vector<MavoZARP_Handle> all, added, removed;
};

Discovery Discover() {
    MavoZARP_Handle all[MAVOZARP_MAX_DEVICES], added[MAVOZARP_MAX_DEVICES],
        removed[MAVOZARP_MAX_DEVICES];
    int32_t allCount = 0, newCount = 0, removedCount = 0;
    EXPECT_EQ(MavoZARP_CheckForDevices(all, &allCount, added, &newCount, removed, &removedCount),
              0);
    return {.all = {all, all + allCount},
            .added = {added, added + newCount},
            .removed = {removed, removed + removedCount}};
}

// The serial numbers of the engines the adapter library counts, in its order.
std::vector<std::string> Enumerated() {
    const AdapterLibrary &lib = Model();
    uint32_t count = 0;
    EXPECT_EQ(lib.I2C_GetNumDevices(&count), 0u);
    std::vector<std::string> serials;
    for (uint32_t i = 0; i < count; ++i) {
        char name[100] = {}, serial[100] = {};
        EXPECT_EQ(lib.I2C_GetDeviceNameSerialNumber(i, name, sizeof name, serial), 0u);
        serials.emplace_back(serial);
    }
    return serials;
}

// Every chip, head presets on every channel. Chip n has the serial number ZV(1001 + n).
struct EveryChip {
    uint32_t ft232r, ft232h, ft4232h, ft2232d, ft2232h;
};
EveryChip PlugEveryChip() {
    const ModelControls &model = Controls();
    return {.ft232r = model.PlugChip(kFt232R, "kora-band2"),
            .ft232h = model.PlugChip(kFt232H, "kora-band2"),
            .ft4232h = model.PlugChip(kFt4232H, "kora-band2,picox-640,kora-band1,kora-band1"),
            .ft2232d = model.PlugChip(kFt2232D, "kora-band1,kora-band1"),
            .ft2232h = model.PlugChip(kFt2232H, "picox-640,kora-band2")};
}

const std::vector<std::string> kEveryEngine = {"ZV1002",  "ZV1003A", "ZV1003B",
                                               "ZV1004A", "ZV1005A", "ZV1005B"};

using Chips = ModelTest;

TEST_F(Chips, OneFt2232dIsOneAdapterAndChannelBIsNeverTouched) {
    const uint32_t channelA = Controls().PlugChip(kFt2232D, "kora-band2,kora-band2");
    EXPECT_EQ(Enumerated(), std::vector<std::string>{"ZV1001A"});
    const Discovery found = Discover();
    ASSERT_EQ(found.all.size(), 1u);
    char headType[MAVOZARP_BUFFER_SIZE] = {};
    EXPECT_EQ(MavoZARP_InitializeHandle(found.all[0], headType), 0);
    EXPECT_EQ(Controls().OpenHandle(channelA), static_cast<AdapterHandle>(found.all[0]));
    EXPECT_EQ(Controls().OpenHandle(channelA + 1), 0u);
    EXPECT_EQ(Controls().Counts(channelA + 1).bytesWithoutMpsse, 0u);
    EXPECT_EQ(Controls().Counts().timeOutWaits, 0u);
    EXPECT_EQ(Controls().Counts(channelA).sdaContentions, 0u);
    for (const MavoZARP_Handle handle : found.all) MavoZARP_Close(handle);
}

// The engines come chip by chip in plug order, A before B, whatever comes and goes around them.
TEST_F(Chips, AMixedSetGivesExactlyTheMpsseChannelsInAStableOrder) {
    const EveryChip chips = PlugEveryChip();
    EXPECT_EQ(Enumerated(), kEveryEngine);
    EXPECT_EQ(Enumerated(), kEveryEngine);
    ASSERT_EQ(Controls().SetPlugged(chips.ft4232h + 1, 0), 0);
    ASSERT_EQ(Controls().SetPlugged(chips.ft232r, 0), 0);
    EXPECT_EQ(Enumerated(),
              (std::vector<std::string>{"ZV1002", "ZV1004A", "ZV1005A", "ZV1005B"}));
    ASSERT_EQ(Controls().SetPlugged(chips.ft4232h, 1), 0);
    ASSERT_EQ(Controls().SetPlugged(chips.ft232r, 1), 0);
    EXPECT_EQ(Enumerated(), kEveryEngine);
}

// Discovery with every chip present needs no answer it has to wait for, on the first look and on
// the rescans; the heads on every engine are identified and commanded, and the FT232H never drives
// a line high.
TEST_F(Chips, DiscoveryOfEveryChipWaitsForNothing) {
    const EveryChip chips = PlugEveryChip();
    const Discovery first = Discover();
    EXPECT_EQ(first.added.size(), kEveryEngine.size());
    for (const MavoZARP_Handle handle : first.all) {
        char headType[MAVOZARP_BUFFER_SIZE] = {}, reply[MAVOZARP_BUFFER_SIZE] = {};
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(MavoZARP_InitializeHandle(handle, headType), 0);
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(MavoZARP_SendCommand(handle, "?HTYPE", reply), 0) << headType;
    }
    const Discovery again = Discover();
    EXPECT_EQ(again.all, first.all);
    EXPECT_TRUE(again.added.empty() && again.removed.empty());

    const MpsseModelCounts counts = Controls().Counts();
    EXPECT_EQ(counts.timeOutWaits, 0u);
    EXPECT_EQ(counts.sdaContentions, 0u);
    EXPECT_EQ(Controls().Counts(chips.ft232h).linesDrivenHigh, 0u);
    for (const MavoZARP_Handle handle : first.all) MavoZARP_Close(handle);
    Discover();
}

// Each kind leaves with all its engines and comes back with them, without a wait; the FT232R is
// never among them.
TEST_F(Chips, UnplugAndReplugOfEachKind) {
    const struct {
        ChipRelease release;
        size_t engines;
    } kinds[] = {{kFt232H, 1}, {kFt2232H, 2}, {kFt4232H, 2}, {kFt2232D, 1}, {kFt232R, 0}};
    for (const auto &kind : kinds) {
        SCOPED_TRACE(kind.release);
        const uint32_t adapter = Controls().PlugChip(kind.release, "kora-band2,kora-band2");
        EXPECT_EQ(Discover().added.size(), kind.engines);
        ASSERT_EQ(Controls().SetPlugged(adapter, 0), 0);
        EXPECT_EQ(Discover().removed.size(), kind.engines);
        ASSERT_EQ(Controls().SetPlugged(adapter, 1), 0);
        const Discovery back = Discover();
        EXPECT_EQ(back.added.size(), kind.engines);
        for (const MavoZARP_Handle handle : back.all) MavoZARP_Close(handle);
        Discover();
        Controls().Reset();
    }
    EXPECT_EQ(Controls().Counts().timeOutWaits, 0u);
}

// An engine that does not answer the synchronisation costs discovery one wait and one line on
// stderr; it stays out of every count (the other channel of its chip does not) until its chip is
// plugged again.
TEST_F(Chips, AnEngineThatDoesNotAnswerIsLeftOutUntilPluggedAgain) {
    const uint32_t channelA = Controls().PlugChip(kFt2232H, "kora-band2,kora-band2");
    ASSERT_EQ(Controls().SetAnswering(channelA + 1, 0), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Discover().added.size(), 1u);
    EXPECT_EQ(Discover().added.size(), 0u);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Controls().Counts().timeOutWaits, 1u);
    EXPECT_EQ(Enumerated(), std::vector<std::string>{"ZV1001A"});
    const std::string line = "\"ZARP Power Supply B\" (serial number \"ZV1001B\"";
    EXPECT_NE(said.find(line), std::string::npos) << said;
    EXPECT_EQ(said.find(line), said.rfind(line)) << said;

    ASSERT_EQ(Controls().SetAnswering(channelA + 1, 1), 0);
    EXPECT_EQ(Discover().added.size(), 0u);
    ASSERT_EQ(Controls().SetPlugged(channelA, 0), 0);
    EXPECT_EQ(Discover().removed.size(), 1u);
    ASSERT_EQ(Controls().SetPlugged(channelA, 1), 0);
    const Discovery back = Discover();
    EXPECT_EQ(back.added.size(), 2u);
    EXPECT_EQ(Controls().Counts().timeOutWaits, 1u);
    for (const MavoZARP_Handle handle : back.all) MavoZARP_Close(handle);
    Discover();
}

}  // namespace

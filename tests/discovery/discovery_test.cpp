// Discovery and head initialisation through the exports, with the emulated adapter library found
// by its plain name as a host finds the real one. Supplies are plugged through its test controls.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "MavoZARP.h"
#include "support/adapter_library.h"
#include "support/emulated_adapter_controls.h"

namespace {

namespace ea = emulated_adapter;

struct Discovery {
    int32_t status;
    std::vector<MavoZARP_Handle> all, added, removed;
};

Discovery Discover() {
    MavoZARP_Handle all[MAVOZARP_MAX_DEVICES], added[MAVOZARP_MAX_DEVICES],
        removed[MAVOZARP_MAX_DEVICES];
    int32_t allCount = -1, newCount = -1, removedCount = -1;
    Discovery result;
    result.status =
        MavoZARP_CheckForDevices(all, &allCount, added, &newCount, removed, &removedCount);
    result.all.assign(all, all + std::max(allCount, 0));
    result.added.assign(added, added + std::max(newCount, 0));
    result.removed.assign(removed, removed + std::max(removedCount, 0));
    return result;
}

struct Identified {
    int32_t status;
    std::string headType;
    std::string output;
};

Identified Initialize(MavoZARP_Handle device) {
    char headType[MAVOZARP_BUFFER_SIZE] = "stale";
    ::testing::internal::CaptureStdout();
    const int32_t status = MavoZARP_InitializeHandle(device, headType);
    return {status, headType, ::testing::internal::GetCapturedStdout()};
}

int32_t Send(MavoZARP_Handle device, const char *command, std::string *reply = nullptr) {
    char buffer[MAVOZARP_BUFFER_SIZE] = "stale";
    const int32_t status = MavoZARP_SendCommand(device, command, buffer);
    if (reply != nullptr) *reply = buffer;
    return status;
}

size_t Calls(const char *entryPoint, AdapterHandle handle) {
    const std::vector<EmulatedCall> calls = ea::Calls();
    return std::count_if(calls.begin(), calls.end(), [&](const EmulatedCall &call) {
        return std::string(call.entryPoint) == entryPoint && call.handle == handle;
    });
}

MavoZARP_Handle HandleOf(uint32_t adapter) {
    return static_cast<MavoZARP_Handle>(ea::OpenHandle(adapter));
}

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override { ea::Reset(); }
};

TEST_F(DiscoveryTest, TwoSuppliesAreNewOnceAndThenOnlyListed) {
    ea::PlugSupply("kora-band2");
    ea::PlugSupply("picox-640");
    const Discovery first = Discover();
    ASSERT_EQ(first.status, 0);
    const std::vector<MavoZARP_Handle> both = {HandleOf(0), HandleOf(1)};
    EXPECT_EQ(first.all, both);
    EXPECT_EQ(first.added, both);
    EXPECT_TRUE(first.removed.empty());

    const Discovery second = Discover();
    EXPECT_EQ(second.all, both);
    EXPECT_TRUE(second.added.empty());
    EXPECT_TRUE(second.removed.empty());

    // Each supply is initialised with the library's arguments and identified with its model.
    for (const MavoZARP_Handle handle : both) {
        EXPECT_EQ(Calls("I2C_SetMode", handle), 1u);
        EXPECT_GE(Calls("I2C_InitDevice", handle), 2u);  // opening, then the presence check
    }
    const Identified kora = Initialize(both[0]);
    EXPECT_EQ(kora.status, 0);
    EXPECT_EQ(kora.headType, "Kora");
    EXPECT_EQ(kora.output, "Exit headType=Kora\nExit status=0\n");
    EXPECT_EQ(Initialize(both[1]).headType, "PicoX");
    std::string reply;
    EXPECT_EQ(Send(both[1], "?htype", &reply), 0);
    EXPECT_EQ(reply, "PicoX\r\n");
}

TEST_F(DiscoveryTest, AnUnpluggedSupplyIsReportedRemovedAndItsHandleForgotten) {
    ea::PlugSupply("vfk");
    ea::PlugSupply("vfk");
    ASSERT_EQ(Discover().all.size(), 2u);
    const MavoZARP_Handle gone = HandleOf(0), kept = HandleOf(1);
    ASSERT_EQ(Initialize(gone).status, 0);

    ea::SetPlugged(0, false);
    const Discovery after = Discover();
    EXPECT_EQ(after.all, std::vector<MavoZARP_Handle>{kept});
    EXPECT_EQ(after.removed, std::vector<MavoZARP_Handle>{gone});
    EXPECT_TRUE(after.added.empty());
    EXPECT_EQ(Calls("I2C_Close", static_cast<AdapterHandle>(gone)), 1u);
    EXPECT_EQ(Send(gone, "?HTYPE"), MAVOZARP_STATUS_UNKNOWN_HANDLE);
    EXPECT_EQ(MavoZARP_Close(gone), MAVOZARP_STATUS_UNKNOWN_HANDLE);

    // Plugged back, it is a new supply under a new handle.
    ea::SetPlugged(0, true);
    const Discovery back = Discover();
    ASSERT_EQ(back.added.size(), 1u);
    EXPECT_NE(back.added[0], gone);
}

TEST_F(DiscoveryTest, OnlyAdaptersNamedAsSuppliesWithASerialNumberAreOpened) {
    for (int i = 0; i < 4; ++i) ea::PlugSupply("kora-band1");
    ea::SetNaming(0, {"ZARP Power Supply 7 (left rack)", "ZV7", 0});
    ea::SetNaming(1, {"ZARP Power Supplx", "ZV8", 0});
    ea::SetNaming(2, {"ZARP Power Supply", "", 0});
    ea::SetNaming(3, {"USB Serial Converter", "FT1", 0});
    const Discovery found = Discover();
    EXPECT_EQ(found.added, std::vector<MavoZARP_Handle>{HandleOf(0)});
    for (uint32_t adapter : {1u, 2u, 3u}) EXPECT_EQ(ea::OpenHandle(adapter), 0u) << adapter;
}

TEST_F(DiscoveryTest, AdaptersThatFailAStepAreLeftOutAndClosedWhenTheyWereOpened) {
    for (int i = 0; i < 5; ++i) ea::PlugSupply("vfk");
    ea::FailStep(0, EmulatedAdapterNamingStep, 1);
    ea::FailStep(1, EmulatedAdapterOpeningStep, 1);
    ea::FailStep(2, EmulatedAdapterInitialisingStep, 1);
    ea::FailStep(3, EmulatedAdapterModeStep, 1);
    const Discovery first = Discover();
    EXPECT_EQ(first.added, std::vector<MavoZARP_Handle>{HandleOf(4)});
    // A failed open gave no handle, so nothing is closed for it; the initialisation and mode
    // failures had opened their adapters and closed them again.
    size_t closes = 0;
    for (const EmulatedCall &call : ea::Calls()) {
        closes += std::string(call.entryPoint) == "I2C_Close";
        EXPECT_NE(std::string(call.entryPoint) == "I2C_Close" && call.handle == 0, true);
    }
    EXPECT_EQ(closes, 2u);

    // The failures were passing: the next discovery finds the four.
    EXPECT_EQ(Discover().added.size(), 4u);
}

TEST_F(DiscoveryTest, AnAdapterLibraryThatRaisesDuringDiscoveryCountsAsAFailedCall) {
    ea::PlugSupply("pico00");
    ea::PlugSupply("pico00");
    ea::ThrowNext("I2C_OpenExSerialNumber", 1);
    const Discovery found = Discover();
    EXPECT_EQ(found.status, 0);
    EXPECT_EQ(found.added, std::vector<MavoZARP_Handle>{HandleOf(1)});
    ea::ThrowNext("I2C_GetNumDevices", 1);
    const Discovery none = Discover();
    EXPECT_EQ(none.status, 0);
    EXPECT_TRUE(none.added.empty());
    EXPECT_EQ(none.all.size(), 1u);  // known supplies are still checked and kept
}

TEST_F(DiscoveryTest, AClosedAdapterIsNeverHandedToTheLibraryAgain) {
    ea::PlugSupply("vgk");
    ASSERT_EQ(Discover().added.size(), 1u);
    const MavoZARP_Handle device = HandleOf(0);
    const auto handle = static_cast<AdapterHandle>(device);
    ASSERT_EQ(Initialize(device).status, 0);

    EXPECT_EQ(MavoZARP_Close(device), 0);
    EXPECT_EQ(MavoZARP_Close(device), MAVOZARP_STATUS_UNKNOWN_HANDLE);
    EXPECT_EQ(Calls("I2C_Close", handle), 1u);

    // Its head is still reached; bus work fails as on a closed adapter, without a call.
    const size_t readsBefore = ea::Transfers().size();
    std::string reply;
    EXPECT_EQ(Send(device, "?HTYPE", &reply), MAVOZARP_STATUS_I2C_ERROR);
    EXPECT_EQ(reply, "\r\n");
    EXPECT_EQ(Send(device, "?LASERMODEL", &reply), 0);
    EXPECT_EQ(ea::Transfers().size(), readsBefore);

    const size_t initsBefore = Calls("I2C_InitDevice", handle);
    const Discovery after = Discover();
    EXPECT_EQ(after.removed, std::vector<MavoZARP_Handle>{device});
    EXPECT_EQ(Calls("I2C_InitDevice", handle), initsBefore);
    EXPECT_EQ(Calls("I2C_Close", handle), 1u);
    EXPECT_EQ(Send(device, "?LASERMODEL"), MAVOZARP_STATUS_UNKNOWN_HANDLE);
}

// Until the adapter library has closed an adapter it still holds it, and would refuse to open it
// again: a failed close leaves the handle in use and is tried again.
TEST_F(DiscoveryTest, AnAdapterWhoseCloseFailedStaysUsableAndIsClosedAgain) {
    ea::PlugSupply("vgk");
    ASSERT_EQ(Discover().added.size(), 1u);
    MavoZARP_Handle device = HandleOf(0);
    ASSERT_EQ(Initialize(device).status, 0);

    ea::FailNext("I2C_Close", 1);
    EXPECT_NE(MavoZARP_Close(device), 0);
    EXPECT_EQ(Send(device, "?HTYPE"), 0);
    EXPECT_EQ(MavoZARP_Close(device), 0);
    EXPECT_EQ(Calls("I2C_Close", static_cast<AdapterHandle>(device)), 2u);
    Discovery after = Discover();
    EXPECT_EQ(after.removed, std::vector<MavoZARP_Handle>{device});
    ASSERT_EQ(after.added.size(), 1u);

    // A close that raised, then the supply unplugged: discovery closes it before dropping it.
    device = after.added[0];
    ea::ThrowNext("I2C_Close", 1);
    EXPECT_EQ(MavoZARP_Close(device), MAVOZARP_STATUS_ADAPTER_EXCEPTION);
    ea::SetPlugged(0, false);
    after = Discover();
    EXPECT_EQ(after.removed, std::vector<MavoZARP_Handle>{device});
    EXPECT_EQ(Calls("I2C_Close", static_cast<AdapterHandle>(device)), 2u);
}

TEST_F(DiscoveryTest, TheEnumerationLooksAtTwentyAdaptersAtMost) {
    for (int i = 0; i < 25; ++i) ea::PlugSupply("kora-band3");
    const Discovery full = Discover();
    EXPECT_EQ(full.all.size(), 20u);
    EXPECT_EQ(full.added.size(), 20u);
    for (uint32_t adapter = 20; adapter < 25; ++adapter) {
        EXPECT_EQ(ea::OpenHandle(adapter), 0u) << adapter;
    }
    // The twenty known ones hold their indices: the rest stay out of reach.
    EXPECT_TRUE(Discover().added.empty());
}

TEST_F(DiscoveryTest, NewSuppliesThatDoNotFitTheTableAreClosedAndLeftOut) {
    for (int i = 0; i < 20; ++i) ea::PlugSupply("vfk");
    const Discovery known = Discover();
    ASSERT_EQ(known.all.size(), 20u);
    // Three more, enumerated first (as after the bus was enumerated anew): they open, but the
    // twenty known ones are still present and the table has no room.
    for (uint32_t adapter = 20; adapter < 23; ++adapter) {
        ea::PlugSupply("vfk");
        ea::EnumerateFirst(adapter);
    }
    const Discovery full = Discover();
    EXPECT_EQ(full.all, known.all);
    EXPECT_TRUE(full.added.empty());
    EXPECT_TRUE(full.removed.empty());
    size_t closedNew = 0;
    for (const EmulatedCall &call : ea::Calls()) {
        const bool listed = std::find(full.all.begin(), full.all.end(),
                                      static_cast<MavoZARP_Handle>(call.handle)) != full.all.end();
        closedNew += std::string(call.entryPoint) == "I2C_Close" && !listed;
    }
    EXPECT_EQ(closedNew, 3u);
    for (uint32_t adapter = 20; adapter < 23; ++adapter) EXPECT_EQ(ea::OpenHandle(adapter), 0u);
}

TEST_F(DiscoveryTest, AnAdapterHandleEqualToTheSimulatedHandleIsRefused) {
    ea::PlugSupply("vfk");
    ea::PlugSupply("vfk");
    ea::SetNextOpenHandle(0, static_cast<AdapterHandle>(MAVOZARP_SIMULATED_HANDLE));
    const Discovery found = Discover();
    EXPECT_EQ(found.added, std::vector<MavoZARP_Handle>{HandleOf(1)});
    EXPECT_EQ(Calls("I2C_Close", static_cast<AdapterHandle>(MAVOZARP_SIMULATED_HANDLE)), 1u);
    // The simulated head is untouched by it.
    std::string reply;
    EXPECT_EQ(Send(MAVOZARP_SIMULATED_HANDLE, "?HTYPE", &reply), 0);
    EXPECT_EQ(reply, "Dummy\r\n");
}

TEST_F(DiscoveryTest, HeadsThatNoModelServesAreInvalidHeads) {
    ea::PlugSupply("vfn-mismatch");
    ea::PlugSupply("unknown-type");
    ASSERT_EQ(Discover().all.size(), 2u);
    for (uint32_t adapter : {0u, 1u}) {
        const Identified outcome = Initialize(HandleOf(adapter));
        EXPECT_EQ(outcome.status, MAVOZARP_STATUS_INVALID_HEAD);
        EXPECT_EQ(outcome.headType, "");
        EXPECT_EQ(outcome.output, "Exit headType=\nExit status=-2\n");
        EXPECT_EQ(Send(HandleOf(adapter), "?P"), MAVOZARP_STATUS_INVALID_HEAD);
    }
}

TEST_F(DiscoveryTest, ABusThatFailsDuringTheProbeGivesTheI2cError) {
    ea::PlugSupply("kora-band2");
    ASSERT_EQ(Discover().all.size(), 1u);
    ea::SetPlugged(0, false);
    const Identified outcome = Initialize(HandleOf(0));
    EXPECT_EQ(outcome.status, MAVOZARP_STATUS_I2C_ERROR);
    EXPECT_EQ(outcome.output, "Exit headType=\nExit status=-5\n");
}

// The variant without the serial-number entry points names adapters by location.
TEST(DiscoveryByLocation, OnlyAdaptersWithALocationAreOpened) {
    UseEmulatedAdapter(EmulatedAdapter::WithoutSerialNumber);
    ea::Reset();
    ea::PlugSupply("picox");
    ea::PlugSupply("picox");
    ea::SetNaming(1, {"ZARP Power Supply B", "", 0});
    const Discovery found = Discover();
    EXPECT_EQ(found.added, std::vector<MavoZARP_Handle>{HandleOf(0)});
    EXPECT_EQ(Calls("I2C_OpenExSerialNumber", 0), 0u);
    EXPECT_EQ(Initialize(HandleOf(0)).headType, "PicoX");
}

double Reading(MavoZARP_Handle device, const char *query) {
    std::string reply;
    EXPECT_EQ(Send(device, query, &reply), MAVOZARP_STATUS_SUCCESS) << query;
    return std::stod(reply);
}

void Set(MavoZARP_Handle device, const std::string &command) {
    EXPECT_EQ(Send(device, command.c_str()), MAVOZARP_STATUS_SUCCESS) << command;
}

// What the command reference tells of a setting ("What a setting does on each head"): on every
// head of a supply the power and current commands are one converter, so each setting moves the
// other; values are cut to the converter's steps; the stored power command is kept apart. The
// simulated head keeps what it is given. A page that asks "set the power?" relies on this.
TEST_F(DiscoveryTest, PowerAndCurrentCommandsAreOneConverterOnEveryHeadOfASupply) {
    const std::vector<std::string> presets = {"kora-band3", "p532", "picox-640",
                                              "pico00",     "vfk",  "vfn"};
    for (const std::string &preset : presets) ea::PlugSupply(preset);
    ASSERT_EQ(Discover().all.size(), presets.size());
    for (uint32_t adapter = 0; adapter < presets.size(); ++adapter) {
        SCOPED_TRACE(presets[adapter]);
        const MavoZARP_Handle head = HandleOf(adapter);
        ASSERT_EQ(Initialize(head).status, MAVOZARP_STATUS_SUCCESS);
        const double current = Reading(head, "?CLIM") / 4;
        Set(head, "CCMD=" + std::to_string(current));
        const double power = Reading(head, "?PCMD");
        const double currentRead = Reading(head, "?CCMD");
        EXPECT_GT(power, 0);
        EXPECT_LE(currentRead, current);
        Set(head, "CCMD=" + std::to_string(2 * currentRead));
        EXPECT_NEAR(Reading(head, "?PCMD"), 2 * power, power / 100);
        Set(head, "PCMD=" + std::to_string(power));
        EXPECT_NEAR(Reading(head, "?CCMD"), currentRead, currentRead / 100);
        Set(head, "PMEM=" + std::to_string(2 * power));
        EXPECT_NEAR(Reading(head, "?PCMD"), power, power / 100);
        EXPECT_NEAR(Reading(head, "?PMEM"), 2 * power, power / 100);
    }
    // The reference's example, as it reads.
    const MavoZARP_Handle kora = HandleOf(0);
    Set(kora, "PCMD=50");
    std::string power, current;
    Send(kora, "?PCMD", &power);
    Send(kora, "?CCMD", &current);
    EXPECT_EQ(power + " " + current, "49.805\r\n 24.902\r\n");

    Set(MAVOZARP_SIMULATED_HANDLE, "CCMD=3");
    Set(MAVOZARP_SIMULATED_HANDLE, "PCMD=50");
    EXPECT_EQ(Reading(MAVOZARP_SIMULATED_HANDLE, "?PCMD"), 50.0);
    EXPECT_EQ(Reading(MAVOZARP_SIMULATED_HANDLE, "?CCMD"), 3.0);
}

}  // namespace

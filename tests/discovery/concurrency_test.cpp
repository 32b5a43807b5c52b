// Every export from several threads at once, on every kind of device: the library runs one call
// at a time, so each thread sees exactly the answers it would see alone, and no reply is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "MavoZARP.h"
#include "bus/head_presets.h"
#include "bus/virtual_supply.h"
#include "serial/bridge_emulator.h"
#include "serial/text_supply_emulator.h"
#include "support/emulated_adapter_controls.h"

namespace {

namespace ea = emulated_adapter;

struct Reply {
    int32_t status;
    std::string text;
};

Reply Send(MavoZARP_Handle device, const char *command) {
    char buffer[MAVOZARP_BUFFER_SIZE] = "stale";
    const int32_t status = MavoZARP_SendCommand(device, command, buffer);
    return {status, buffer};
}

MavoZARP_Handle OpenPort(const std::string &path) {
    MavoZARP_Handle device = 0;
    EXPECT_EQ(MavoZARP_OpenSerialPort(path.c_str(), &device), 0) << path;
    return device;
}

void CarryPreset(sim::BridgeEmulator &bridge, const char *preset) {
    bridge.WithBus([&](sim::I2cBus &bus) {
        sim::VirtualSupply parts(bus);
        sim::FindHeadPreset(preset)->apply(parts);
    });
}

TEST(Concurrency, EveryExportFromSeveralThreadsAtOnceLosesNoReply) {
    ea::Reset();
    ea::PlugSupply("vfk");
    ea::PlugSupply("picox-640");
    MavoZARP_Handle all[20], added[20], removed[20];
    int32_t allCount = 0, newCount = 0, removedCount = 0;
    ASSERT_EQ(MavoZARP_CheckForDevices(all, &allCount, added, &newCount, removed, &removedCount), 0);
    ASSERT_EQ(allCount, 2);
    const MavoZARP_Handle vfk = all[0], picox = all[1];
    char headType[MAVOZARP_BUFFER_SIZE];
    ::testing::internal::CaptureStdout();  // the diagnostic lines of every head creation
    ASSERT_EQ(MavoZARP_InitializeHandle(vfk, headType), 0);
    ASSERT_EQ(MavoZARP_InitializeHandle(picox, headType), 0);

    sim::BridgeEmulator bridge;
    CarryPreset(bridge, "kora-band2");
    const MavoZARP_Handle kora = OpenPort(bridge.Line().Path());
    ASSERT_EQ(MavoZARP_InitializeHandle(kora, headType), 0);
    ASSERT_STREQ(headType, "Kora");

    sim::TextSupplyEmulator text;
    text.SetValue("P", "0.750");
    const MavoZARP_Handle textSupply = OpenPort(text.Line().Path());
    sim::TextSupplyEmulator other;
    other.SetAnswer(sim::TextSupplyEmulator::kHeadTypeRequest, "Vfn");

    constexpr int kRounds = 25;
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    // Each worker repeats one exchange and checks every answer it gets.
    auto repeat = [&](int rounds, auto exchange) {
        threads.emplace_back([&answered, rounds, exchange] {
            for (int round = 0; round < rounds; ++round) {
                if (exchange()) ++answered;
            }
        });
    };
    auto expect = [](MavoZARP_Handle device, const char *command, const std::string &reply) {
        return [device, command, reply] {
            const Reply got = Send(device, command);
            EXPECT_EQ(got.status, 0) << command;
            EXPECT_EQ(got.text, reply) << command;
            return got.status == 0 && got.text == reply;
        };
    };
    repeat(kRounds, expect(MAVOZARP_SIMULATED_HANDLE, "?HTYPE", "Dummy\r\n"));
    repeat(kRounds, expect(vfk, "?htype", "VFK\r\n"));
    repeat(kRounds, expect(picox, "?HTYPE", "PicoX\r\n"));
    repeat(kRounds, expect(kora, "?HTYPE", "Kora\r\n"));
    repeat(kRounds, expect(textSupply, "?P", "0.750\r\n"));
    repeat(kRounds, [&] {
        MavoZARP_Handle a[20], n[20], r[20];
        int32_t ac = 0, nc = 0, rc = 0;
        const int32_t status = MavoZARP_CheckForDevices(a, &ac, n, &nc, r, &rc);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(ac, 2);
        EXPECT_EQ(nc + rc, 0);
        return status == 0 && ac == 2;
    });
    repeat(kRounds, [&] {
        char type[MAVOZARP_BUFFER_SIZE] = {};
        const int32_t status = MavoZARP_InitializeHandle(picox, type);
        EXPECT_EQ(status, 0);
        EXPECT_STREQ(type, "PicoX");
        return status == 0;
    });
    // Opening a text supply takes three silent bridge probes first: a few rounds are plenty.
    constexpr int kOpenRounds = 3;
    repeat(kOpenRounds, [&] {
        const MavoZARP_Handle device = OpenPort(other.Line().Path());
        char type[MAVOZARP_BUFFER_SIZE] = {};
        const int32_t identified = MavoZARP_InitializeHandle(device, type);
        EXPECT_EQ(identified, 0);
        EXPECT_STREQ(type, "Vfn\r\n");
        const int32_t closed = MavoZARP_Close(device);
        EXPECT_EQ(closed, 0);
        return identified == 0 && closed == 0;
    });
    for (std::thread &thread : threads) thread.join();
    ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(answered.load(), 7 * kRounds + kOpenRounds);
    EXPECT_EQ(MavoZARP_Close(kora), 0);
    EXPECT_EQ(MavoZARP_Close(textSupply), 0);
}

}  // namespace

// Every export from several threads at once, on every kind of device: the library runs one call
// at a time, so each thread sees exactly the answers it would see alone, and no reply is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
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

// Every kind of device, found and identified: two adapter supplies, a bridge, a text supply.
class EveryKindOfDevice : public ::testing::Test {
protected:
    void SetUp() override {
        ea::Reset();
        ea::PlugSupply("vfk");
        ea::PlugSupply("picox-640");
        MavoZARP_Handle all[20], added[20], removed[20];
        int32_t allCount = 0, newCount = 0, removedCount = 0;
        ASSERT_EQ(MavoZARP_CheckForDevices(all, &allCount, added, &newCount, removed, &removedCount),
                  0);
        ASSERT_EQ(allCount, 2);
        vfk = all[0];
        picox = all[1];
        char headType[MAVOZARP_BUFFER_SIZE];
        ::testing::internal::CaptureStdout();  // the diagnostic lines of every head creation
        ASSERT_EQ(MavoZARP_InitializeHandle(vfk, headType), 0);
        ASSERT_EQ(MavoZARP_InitializeHandle(picox, headType), 0);
        CarryPreset(bridge, "kora-band2");
        kora = OpenPort(bridge.Line().Path());
        ASSERT_EQ(MavoZARP_InitializeHandle(kora, headType), 0);
        ASSERT_STREQ(headType, "Kora");
        text.SetValue("P", "0.750");
        textSupply = OpenPort(text.Line().Path());
    }
    void TearDown() override {
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(MavoZARP_Close(kora), 0);
        EXPECT_EQ(MavoZARP_Close(textSupply), 0);
    }

    sim::BridgeEmulator bridge;
    sim::TextSupplyEmulator text;
    MavoZARP_Handle vfk = 0, picox = 0, kora = 0, textSupply = 0;
};

TEST_F(EveryKindOfDevice, EveryExportFromSeveralThreadsAtOnceLosesNoReply) {
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
    EXPECT_EQ(answered.load(), 7 * kRounds + kOpenRounds);
}

// Eight threads, each mixing every export on every kind of device in an order of its own. The
// ThreadSanitizer build runs it; MAVOZARP_STRESS_ROUNDS makes it run longer.
TEST_F(EveryKindOfDevice, EightThreadsMixingEveryExportSeeOnlyTheirOwnAnswers) {
    const char *configured = std::getenv("MAVOZARP_STRESS_ROUNDS");
    const int rounds = configured != nullptr ? std::atoi(configured) : 60;
    struct Exchange {
        MavoZARP_Handle device;
        const char *command;
        const char *reply;
    };
    const Exchange exchanges[] = {
        {MAVOZARP_SIMULATED_HANDLE, "?HTYPE", "Dummy\r\n"},
        {vfk, "?HTYPE", "VFK\r\n"},
        {picox, "?HTYPE", "PicoX\r\n"},
        {kora, "?HTYPE", "Kora\r\n"},
        {textSupply, "?P", "0.750\r\n"},
    };
    std::atomic<int> wrong{0};
    auto worker = [&](unsigned seed) {
        std::minstd_rand random(seed);
        // A bridge of the thread's own, opened, identified and closed now and then.
        sim::BridgeEmulator own;
        CarryPreset(own, "picox-640");
        char text[MAVOZARP_BUFFER_SIZE];
        for (int round = 0; round < rounds; ++round) {
            bool right = true;
            switch (random() % 6) {
                case 0: {
                    MavoZARP_Handle all[20], added[20], removed[20];
                    int32_t allCount = 0, newCount = 0, removedCount = 0;
                    right = MavoZARP_CheckForDevices(all, &allCount, added, &newCount, removed,
                                                     &removedCount) == 0 &&
                            allCount == 2 && newCount + removedCount == 0;
                    break;
                }
                case 1:
                    right = MavoZARP_InitializeHandle(picox, text) == 0 &&
                            std::string(text) == "PicoX";
                    break;
                case 2:
                    std::strcpy(text, round % 2 == 0 ? "?*" : "");
                    right = MavoZARP_GetDLLVersion(text) == 0 &&
                            std::string(text).starts_with("MavoZARP 2.1.0");
                    break;
                case 3: {
                    if (round % 8 != 3) {
                        right = MavoZARP_Close(MAVOZARP_SIMULATED_HANDLE) ==
                                MAVOZARP_STATUS_UNKNOWN_HANDLE;
                        break;
                    }
                    MavoZARP_Handle device = 0;
                    right = MavoZARP_OpenSerialPort(own.Line().Path().c_str(), &device) == 0 &&
                            MavoZARP_InitializeHandle(device, text) == 0 &&
                            std::string(text) == "PicoX" && MavoZARP_Close(device) == 0;
                    break;
                }
                default: {
                    const Exchange &exchange = exchanges[random() % std::size(exchanges)];
                    const Reply got = Send(exchange.device, exchange.command);
                    right = got.status == 0 && got.text == exchange.reply;
                    break;
                }
            }
            // Standard output is captured; the case goes to standard error.
            if (!right && wrong++ == 0) {
                std::fprintf(stderr, "thread %u round %d: a wrong answer\n", seed, round);
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned seed = 1; seed <= 8; ++seed) threads.emplace_back(worker, seed);
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

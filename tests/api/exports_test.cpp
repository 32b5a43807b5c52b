// The exports' common frame and the bodies that need no head: routing of unknown handles, the
// lock, null pointers, the version texts and the adapter library's loading.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "MavoZARP.h"
#include "platform/api_lock.h"
#include "support/adapter_library.h"

namespace {

using SetVersionFn = void(MAVOZARP_CALL *)(const char *);
using CountedControlFn = void(MAVOZARP_CALL *)(const char *, uint32_t);
using CallCountFn = uint32_t(MAVOZARP_CALL *)(const char *);

std::string Version(const char *request) {
    char buffer[MAVOZARP_BUFFER_SIZE];
    std::snprintf(buffer, sizeof buffer, "%s", request);
    EXPECT_EQ(MavoZARP_GetDLLVersion(buffer), 0);
    return buffer;
}

TEST(Exports, UnknownHandlesAreAnsweredWithoutAHead) {
    char reply[MAVOZARP_BUFFER_SIZE] = "untouched";
    EXPECT_EQ(MavoZARP_SendCommand(12345, "?P", reply), MAVOZARP_STATUS_UNKNOWN_HANDLE);
    EXPECT_STREQ(reply, "\r\n");

    char headType[MAVOZARP_BUFFER_SIZE] = "untouched";
    EXPECT_EQ(MavoZARP_InitializeHandle(12345, headType), MAVOZARP_STATUS_UNKNOWN_HANDLE);
    EXPECT_STREQ(headType, "");
    EXPECT_EQ(MavoZARP_InitializeHandle(MAVOZARP_SIMULATED_HANDLE, headType), 0);
    EXPECT_STREQ(headType, "Dummy");

    EXPECT_EQ(MavoZARP_Close(12345), MAVOZARP_STATUS_UNKNOWN_HANDLE);
    EXPECT_EQ(MavoZARP_Close(MAVOZARP_SIMULATED_HANDLE), MAVOZARP_STATUS_UNKNOWN_HANDLE);
}

TEST(Exports, NullPointersAreRefusedAndNothingIsWritten) {
    char buffer[MAVOZARP_BUFFER_SIZE] = "untouched";
    MavoZARP_Handle handles[MAVOZARP_MAX_DEVICES];
    int32_t count = 7;
    MavoZARP_Handle opened = 42;
    EXPECT_EQ(MavoZARP_GetDLLVersion(nullptr), MAVOZARP_STATUS_INVALID_DATA);
    EXPECT_EQ(MavoZARP_SendCommand(-1, nullptr, buffer), MAVOZARP_STATUS_INVALID_DATA);
    EXPECT_EQ(MavoZARP_SendCommand(-1, "?P", nullptr), MAVOZARP_STATUS_INVALID_DATA);
    EXPECT_EQ(MavoZARP_InitializeHandle(-1, nullptr), MAVOZARP_STATUS_INVALID_DATA);
    EXPECT_EQ(MavoZARP_OpenSerialPort(nullptr, &opened), MAVOZARP_STATUS_INVALID_DATA);
    EXPECT_EQ(MavoZARP_OpenSerialPort("/dev/null", nullptr), MAVOZARP_STATUS_INVALID_DATA);
    for (int missing = 0; missing < 6; ++missing) {
        void *arguments[6] = {handles, &count, handles, &count, handles, &count};
        arguments[missing] = nullptr;
        EXPECT_EQ(MavoZARP_CheckForDevices(
                      static_cast<MavoZARP_Handle *>(arguments[0]), static_cast<int32_t *>(arguments[1]),
                      static_cast<MavoZARP_Handle *>(arguments[2]), static_cast<int32_t *>(arguments[3]),
                      static_cast<MavoZARP_Handle *>(arguments[4]), static_cast<int32_t *>(arguments[5])),
                  MAVOZARP_STATUS_INVALID_DATA);
    }
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(count, 7);
    EXPECT_EQ(opened, 42);
}

// A wait that fails answers -400 and writes nothing. Calling an export from inside the lock's
// hold on the same thread is such a wait: it must fail rather than hang.
TEST(Exports, AFailedLockWaitAnswers400AndLeavesOutParametersUntouched) {
    ASSERT_TRUE(ApiLockAcquire());
    char buffer[MAVOZARP_BUFFER_SIZE] = "?*";
    MavoZARP_Handle handles[MAVOZARP_MAX_DEVICES] = {7};
    int32_t count = 7;
    MavoZARP_Handle opened = 42;
    EXPECT_EQ(MavoZARP_GetDLLVersion(buffer), MAVOZARP_STATUS_LOCK_FAILED);
    EXPECT_STREQ(buffer, "?*");
    EXPECT_EQ(MavoZARP_SendCommand(-1, "?P", buffer), MAVOZARP_STATUS_LOCK_FAILED);
    EXPECT_EQ(MavoZARP_InitializeHandle(-1, buffer), MAVOZARP_STATUS_LOCK_FAILED);
    EXPECT_STREQ(buffer, "?*");
    EXPECT_EQ(MavoZARP_Close(-1), MAVOZARP_STATUS_LOCK_FAILED);
    EXPECT_EQ(MavoZARP_CheckForDevices(handles, &count, handles, &count, handles, &count),
              MAVOZARP_STATUS_LOCK_FAILED);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(handles[0], 7);
    // OpenSerialPort's probes see a failed wait as "no supply".
    EXPECT_EQ(MavoZARP_OpenSerialPort("/dev/null", &opened), MAVOZARP_STATUS_SERIAL_ERROR);
    EXPECT_EQ(opened, 42);
    ApiLockRelease();
    EXPECT_EQ(MavoZARP_Close(-1), MAVOZARP_STATUS_UNKNOWN_HANDLE);
}

TEST(Exports, AThreadThatDiedHoldingTheLockDoesNotBlockLaterCalls) {
    std::thread([] { ASSERT_TRUE(ApiLockAcquire()); }).join();
    EXPECT_EQ(Version(""), "MavoZARP 2.1.0");
    EXPECT_EQ(MavoZARP_Close(-1), MAVOZARP_STATUS_UNKNOWN_HANDLE);
}

TEST(GetDllVersion, ShortTextNeedsNoAdapterLibrary) {
    EXPECT_EQ(Version(""), "MavoZARP 2.1.0");
    EXPECT_EQ(Version("?"), "MavoZARP 2.1.0");
    EXPECT_EQ(Version("?* "), "MavoZARP 2.1.0");
}

TEST(GetDllVersion, AdapterVersionAskedWithoutAdapterLibraryGives100AndLeavesTheBuffer) {
    char buffer[MAVOZARP_BUFFER_SIZE] = "?*";
    EXPECT_EQ(MavoZARP_GetDLLVersion(buffer), MAVOZARP_STATUS_ADAPTER_NOT_LOADED);
    EXPECT_STREQ(buffer, "?*");
    // The load is tried again at the next need: a library that appears later is found.
    UseEmulatedAdapter();
    EXPECT_EQ(MavoZARP_GetDLLVersion(buffer), 0);
    EXPECT_STREQ(buffer, "MavoZARP 2.1.0; MavoFTCI2C emulated 1.0");
}

TEST(GetDllVersion, LongAdapterVersionIsTerminatedAndCutToTheHostBuffer) {
    UseEmulatedAdapter();
    auto setVersion = reinterpret_cast<SetVersionFn>(EmulatedAdapterSymbol("EmulatedAdapter_SetVersion"));
    const std::string ninetyNine(99, 'v');
    setVersion(ninetyNine.c_str());
    char guarded[MAVOZARP_BUFFER_SIZE + 16];
    std::memset(guarded, '#', sizeof guarded);
    std::strcpy(guarded, "?*");
    EXPECT_EQ(MavoZARP_GetDLLVersion(guarded), 0);
    const std::string expected = ("MavoZARP 2.1.0; MavoFTCI2C " + ninetyNine).substr(0, 99);
    EXPECT_EQ(std::string(guarded), expected);
    for (size_t i = MAVOZARP_BUFFER_SIZE; i < sizeof guarded; ++i) EXPECT_EQ(guarded[i], '#');

    // A text that fills the adapter's 100 bytes with no terminator at all.
    setVersion(std::string(300, 'w').c_str());
    std::strcpy(guarded, "?*");
    EXPECT_EQ(MavoZARP_GetDLLVersion(guarded), 0);
    EXPECT_EQ(std::strlen(guarded), 99u);
    for (size_t i = MAVOZARP_BUFFER_SIZE; i < sizeof guarded; ++i) EXPECT_EQ(guarded[i], '#');
}

TEST(GetDllVersion, AdapterLibraryThatRaisesGives102) {
    UseEmulatedAdapter();
    auto throwNext = reinterpret_cast<CountedControlFn>(EmulatedAdapterSymbol("EmulatedAdapter_ThrowNext"));
    throwNext("I2C_GetDllVersion", 1);
    char buffer[MAVOZARP_BUFFER_SIZE] = "?*";
    EXPECT_EQ(MavoZARP_GetDLLVersion(buffer), MAVOZARP_STATUS_ADAPTER_EXCEPTION);
    EXPECT_STREQ(buffer, "MavoZARP 2.1.0; MavoFTCI2C ");
    std::strcpy(buffer, "?*");
    EXPECT_EQ(MavoZARP_GetDLLVersion(buffer), 0);
}

TEST(GetDllVersion, AdapterStatusIsPassedBackUnchanged) {
    UseEmulatedAdapter();
    using FailNextFn = void(MAVOZARP_CALL *)(const char *, uint32_t, uint32_t);
    auto failNext = reinterpret_cast<FailNextFn>(EmulatedAdapterSymbol("EmulatedAdapter_FailNext"));
    failNext("I2C_GetDllVersion", 1, 1234);
    char buffer[MAVOZARP_BUFFER_SIZE] = "?*";
    EXPECT_EQ(MavoZARP_GetDLLVersion(buffer), 1234);
    EXPECT_STREQ(buffer, "MavoZARP 2.1.0; MavoFTCI2C ");
}

TEST(AdapterLibrary, AMissingRequiredEntryPointGives101ForGood) {
    UseEmulatedAdapter(EmulatedAdapter::WithoutLoopback);
    MavoZARP_Handle all[20], added[20], removed[20];
    int32_t allCount = -7, newCount = -7, removedCount = -7;
    for (int call = 0; call < 2; ++call) {
        char buffer[MAVOZARP_BUFFER_SIZE] = "?*";
        EXPECT_EQ(MavoZARP_GetDLLVersion(buffer), MAVOZARP_STATUS_ADAPTER_INCOMPLETE);
        EXPECT_STREQ(buffer, "?*");
        EXPECT_EQ(MavoZARP_CheckForDevices(all, &allCount, added, &newCount, removed, &removedCount),
                  MAVOZARP_STATUS_ADAPTER_INCOMPLETE);
    }
    EXPECT_EQ(allCount, -7);
    EXPECT_EQ(newCount, -7);
    EXPECT_EQ(removedCount, -7);
}

TEST(AdapterLibrary, AMissingOptionalEntryPointIsNoError) {
    UseEmulatedAdapter(EmulatedAdapter::WithoutSerialNumber);
    char buffer[MAVOZARP_BUFFER_SIZE] = "?*";
    EXPECT_EQ(MavoZARP_GetDLLVersion(buffer), 0);
    MavoZARP_Handle all[20], added[20], removed[20];
    int32_t allCount = -7, newCount = -7, removedCount = -7;
    EXPECT_EQ(MavoZARP_CheckForDevices(all, &allCount, added, &newCount, removed, &removedCount), 0);
    EXPECT_EQ(allCount, 0);
    auto callCount = reinterpret_cast<CallCountFn>(EmulatedAdapterSymbol("EmulatedAdapter_CallCount"));
    EXPECT_EQ(callCount("I2C_GetNumDevices"), 1u);
}

TEST(AdapterLibrary, CheckForDevicesWithoutTheLibraryGives100AndLeavesOutParameters) {
    MavoZARP_Handle all[20] = {5}, added[20] = {5}, removed[20] = {5};
    int32_t allCount = -7, newCount = -7, removedCount = -7;
    EXPECT_EQ(MavoZARP_CheckForDevices(all, &allCount, added, &newCount, removed, &removedCount),
              MAVOZARP_STATUS_ADAPTER_NOT_LOADED);
    EXPECT_EQ(allCount, -7);
    EXPECT_EQ(all[0], 5);
    EXPECT_EQ(added[0], 5);
    EXPECT_EQ(removed[0], 5);
}

}  // namespace

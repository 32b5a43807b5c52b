// Every adapter library entry point the library calls, failing and raising, against every export
// that calls it: the code each export gives, and that the entry point was reached at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "MavoZARP.h"
#include "support/emulated_adapter_controls.h"

namespace {

namespace ea = emulated_adapter;

enum class Export { CheckForDevices, InitializeHandle, SendQuery, SendSetting, Close, Version };

constexpr uint32_t kAdapterStatus = 7;  // what a failing entry point returns
// Enough for every retry of a read policy to fail too.
constexpr uint32_t kEveryCall = 1000;

struct FaultRow {
    const char *entryPoint;
    Export call;
    int32_t whenFailing;
    int32_t whenRaising;
};

// Discovery counts a failing or raising step as "no supply there": success with none found.
constexpr FaultRow kRows[] = {
    {"I2C_GetNumDevices", Export::CheckForDevices, 0, 0},
    {"I2C_GetDeviceNameSerialNumber", Export::CheckForDevices, 0, 0},
    {"I2C_OpenExSerialNumber", Export::CheckForDevices, 0, 0},
    {"I2C_InitDevice", Export::CheckForDevices, 0, 0},
    {"I2C_SetMode", Export::CheckForDevices, 0, 0},
    {"I2C_Read", Export::InitializeHandle, MAVOZARP_STATUS_I2C_ERROR,
     MAVOZARP_STATUS_ADAPTER_EXCEPTION},
    {"I2C_Read", Export::SendQuery, MAVOZARP_STATUS_I2C_ERROR, MAVOZARP_STATUS_ADAPTER_EXCEPTION},
    {"I2C_ReadAlt", Export::SendQuery, MAVOZARP_STATUS_I2C_ERROR,
     MAVOZARP_STATUS_ADAPTER_EXCEPTION},
    {"I2C_Write", Export::SendSetting, MAVOZARP_STATUS_I2C_ERROR,
     MAVOZARP_STATUS_ADAPTER_EXCEPTION},
    // Both pass the adapter library's own status on unchanged.
    {"I2C_Close", Export::Close, kAdapterStatus, MAVOZARP_STATUS_ADAPTER_EXCEPTION},
    {"I2C_GetDllVersion", Export::Version, kAdapterStatus, MAVOZARP_STATUS_ADAPTER_EXCEPTION},
};

// The command that reaches each read entry point on the head used: the converter's output is
// read back with the alternative read.
const char *QueryFor(const char *entryPoint) {
    return std::string(entryPoint) == "I2C_ReadAlt" ? "?PCMD" : "?P";
}

int32_t Discover(int32_t &allCount) {
    MavoZARP_Handle all[MAVOZARP_MAX_DEVICES], added[MAVOZARP_MAX_DEVICES],
        removed[MAVOZARP_MAX_DEVICES];
    int32_t newCount = 0, removedCount = 0;
    return MavoZARP_CheckForDevices(all, &allCount, added, &newCount, removed, &removedCount);
}

// A Kora supply found and, for the exports that need one, identified before the fault is armed.
MavoZARP_Handle Prepare(Export call) {
    ea::Reset();
    ea::PlugSupply("kora-band2");
    if (call == Export::CheckForDevices || call == Export::Version) return 0;
    int32_t allCount = 0;
    EXPECT_EQ(Discover(allCount), 0);
    EXPECT_EQ(allCount, 1);
    const auto device = static_cast<MavoZARP_Handle>(ea::OpenHandle(0));
    char headType[MAVOZARP_BUFFER_SIZE] = {};
    if (call != Export::InitializeHandle) {
        EXPECT_EQ(MavoZARP_InitializeHandle(device, headType), 0);
    }
    return device;
}

int32_t CallExport(Export call, MavoZARP_Handle device, const char *entryPoint) {
    char text[MAVOZARP_BUFFER_SIZE] = "?*";
    switch (call) {
        case Export::CheckForDevices: {
            int32_t allCount = -1;
            const int32_t status = Discover(allCount);
            EXPECT_EQ(allCount, 0) << "a supply that failed a step is left out";
            return status;
        }
        case Export::InitializeHandle:
            return MavoZARP_InitializeHandle(device, text);
        case Export::SendQuery:
            return MavoZARP_SendCommand(device, QueryFor(entryPoint), text);
        case Export::SendSetting:
            return MavoZARP_SendCommand(device, "PCMD=0.05", text);
        case Export::Close:
            return MavoZARP_Close(device);
        case Export::Version:
            return MavoZARP_GetDLLVersion(text);
    }
    return 1;
}

TEST(AdapterFaultTable, EveryEntryPointFailingAndRaisingAgainstEveryExportThatCallsIt) {
    for (const FaultRow &row : kRows) {
        for (const bool raising : {false, true}) {
            const MavoZARP_Handle device = Prepare(row.call);
            const uint32_t callsBefore = ea::CallCount(row.entryPoint);
            if (raising) {
                ea::ThrowNext(row.entryPoint, kEveryCall);
            } else {
                ea::FailNext(row.entryPoint, kEveryCall, kAdapterStatus);
            }
            const int32_t status = CallExport(row.call, device, row.entryPoint);
            EXPECT_EQ(status, raising ? row.whenRaising : row.whenFailing)
                << row.entryPoint << (raising ? " raising" : " failing");
            EXPECT_GT(ea::CallCount(row.entryPoint), callsBefore)
                << row.entryPoint << " not reached";
        }
    }
}

}  // namespace

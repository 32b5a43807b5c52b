// The adapter library loaded as a host loads it: its test build over the MPSSE engine model (one
// instance per process, shared with the library when it loads the adapter library by name), or
// the build for users over real USB.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "mpsse/model_controls.h"
#include "transport/adapter_entry_points.h"

struct AdapterLibrary {
    explicit AdapterLibrary(const char *path) : module(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
    template <class Function>
    Function Get(const char *name) const {
        return reinterpret_cast<Function>(dlsym(module, name));
    }
    void *module;
#define MPSSE_TEST_ENTRY_POINT(name, result, params) name##Fn name = Get<name##Fn>(#name);
    MAVOFTCI2C_ENTRY_POINTS(MPSSE_TEST_ENTRY_POINT)
#undef MPSSE_TEST_ENTRY_POINT
};

inline const AdapterLibrary &Model() {
    static const AdapterLibrary library(MPSSE_MODEL_ADAPTER_PATH);
    return library;
}

// The model's test controls.
struct ModelControls {
    EmulatedAdapter_ResetFn Reset = Model().Get<EmulatedAdapter_ResetFn>("EmulatedAdapter_Reset");
    EmulatedAdapter_PlugSupplyFn PlugSupply =
        Model().Get<EmulatedAdapter_PlugSupplyFn>("EmulatedAdapter_PlugSupply");
    EmulatedAdapter_SetPluggedFn SetPlugged =
        Model().Get<EmulatedAdapter_SetPluggedFn>("EmulatedAdapter_SetPlugged");
    EmulatedAdapter_OpenHandleFn OpenHandle =
        Model().Get<EmulatedAdapter_OpenHandleFn>("EmulatedAdapter_OpenHandle");
    MpsseModel_PlugChipFn PlugChip = Model().Get<MpsseModel_PlugChipFn>("MpsseModel_PlugChip");
    MpsseModel_SetAnsweringFn SetAnswering =
        Model().Get<MpsseModel_SetAnsweringFn>("MpsseModel_SetAnswering");
    MpsseModel_UnplugAfterSendsFn UnplugAfterSends =
        Model().Get<MpsseModel_UnplugAfterSendsFn>("MpsseModel_UnplugAfterSends");
    MpsseModel_GetCountsFn GetCounts = Model().Get<MpsseModel_GetCountsFn>("MpsseModel_GetCounts");

    MpsseModelCounts Counts(uint32_t adapter = EMULATED_ADAPTER_NONE) const {
        MpsseModelCounts counts{};
        EXPECT_EQ(GetCounts(adapter, &counts), 0);
        return counts;
    }
};

inline const ModelControls &Controls() {
    static const ModelControls controls;
    return controls;
}

// Starts every test from no chips; at its end, no byte may have gone to a channel without MPSSE,
// whatever the test looked at.
class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Model().module, nullptr) << dlerror();
        Controls().Reset();
    }
    void TearDown() override {
        EXPECT_EQ(Controls().Counts().bytesWithoutMpsse, 0u)
            << "bytes were written to a channel that is not in MPSSE mode";
    }
};

// The FTDI chips by their release number (bcdDevice).
enum ChipRelease : uint16_t {
    kFt2232D = 0x0500,
    kFt232R = 0x0600,
    kFt2232H = 0x0700,
    kFt4232H = 0x0800,
    kFt232H = 0x0900,
};

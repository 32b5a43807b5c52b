// A test with one virtual supply behind the emulated adapter library, in this process: heads built
// on Link() reach the supply's parts.
#pragma once

#include <gtest/gtest.h>

#include "support/emulated_adapter_controls.h"
#include "transport/adapter_library.h"
#include "transport/transport.h"

class AdapterSupplyTest : public ::testing::Test {
protected:
    void SetUp() override {
        emulated_adapter::Reset();
        ASSERT_TRUE(BindAdapterLibrary().moduleLoaded);
        handle = emulated_adapter::AddSupply();
    }
    sim::VirtualSupply &Supply() { return emulated_adapter::Supply(handle); }
    // The adapter transport on the supply `handle` names now.
    Transport Link() {
        opened.handle = handle;
        return AdapterTransport{&opened};
    }

    AdapterHandle handle = 0;
    OpenedAdapter opened;  // what a device would own; outlives the heads built on Link()
};

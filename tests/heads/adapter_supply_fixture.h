// A test with one virtual supply behind the emulated adapter library, in this process, selected as
// the transport: heads built on Link() reach the supply's parts.
#pragma once

#include <gtest/gtest.h>

#include "support/emulated_adapter_controls.h"
#include "transport/active_transport.h"
#include "transport/adapter_library.h"
#include "transport/i2c_register.h"

class AdapterSupplyTest : public ::testing::Test {
protected:
    void SetUp() override {
        emulated_adapter::Reset();
        ASSERT_TRUE(BindAdapterLibrary().moduleLoaded);
        handle = emulated_adapter::AddSupply();
        SelectTransport(kAdapterTransport);
    }
    sim::VirtualSupply &Supply() { return emulated_adapter::Supply(handle); }
    TransportLink Link() const { return static_cast<TransportLink>(handle); }

    AdapterHandle handle = 0;
};

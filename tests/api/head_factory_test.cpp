// The head factory on supplies behind the emulated adapter library: the model each head type
// chooses, what a failure leaves behind, and the two diagnostic lines of every run.
#include <gtest/gtest.h>

#include <string>

#include "api/adapter_state.h"
#include "api/device_tables.h"
#include "api/head_factory.h"
#include "bus/head_presets.h"
#include "support/emulated_adapter_controls.h"

namespace {

struct Outcome {
    int32_t status;
    std::string headType;
    std::string output;  // what went to standard output
};

class HeadFactory : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = emulated_adapter::AddSupply();
        ASSERT_EQ(CheckAdapterLibrary(), 0);
        slot_.handle = static_cast<DeviceHandle>(handle_);
        slot_.adapter.handle = handle_;
        slot_.transport = AdapterTransport{&slot_.adapter};
    }

    sim::VirtualSupply &Supply() { return emulated_adapter::Supply(handle_); }

    void Carry(const std::string &preset) {
        const sim::HeadPreset *found = sim::FindHeadPreset(preset);
        ASSERT_NE(found, nullptr) << preset;
        found->apply(Supply());
    }

    Outcome Initialize() {
        char headType[100] = "stale";
        ::testing::internal::CaptureStdout();
        const int32_t status = CreateHeadForSlot(slot_, headType);
        return {status, headType, ::testing::internal::GetCapturedStdout()};
    }

    AdapterHandle handle_ = 0;
    DeviceSlot slot_;
};

TEST_F(HeadFactory, EachHeadTypeChoosesItsModel) {
    const struct {
        const char *preset;
        HeadKind headKind;
    } cases[] = {{"kora-band2", HeadKind::Kora}, {"picox-640", HeadKind::PicoX},
                 {"p-nir", HeadKind::PicoX},     {"pico00", HeadKind::Pico00},
                 {"p532", HeadKind::P532},       {"vfn", HeadKind::Vfn},
                 {"vfk", HeadKind::Vfk},         {"vgn", HeadKind::Vfn},
                 {"vgk", HeadKind::Vfk}};
    for (const auto &row : cases) {
        SCOPED_TRACE(row.preset);
        slot_.head.reset();
        slot_.headKind = HeadKind::None;
        Carry(row.preset);
        const Outcome outcome = Initialize();
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(slot_.headKind, row.headKind);
        ASSERT_NE(slot_.head, nullptr);
        EXPECT_EQ(outcome.headType, slot_.head->GetHeadType());
        EXPECT_EQ(outcome.output, "Exit headType=" + outcome.headType + "\nExit status=0\n");
    }
}

TEST_F(HeadFactory, ATypeThatBeginsWithAModelNameChoosesIt) {
    Carry("picox-640");
    Supply().WriteText(0xA4, 0x100, "PicoX-Extended");
    const Outcome outcome = Initialize();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.headType, "PicoX-Extended");
    EXPECT_EQ(slot_.headKind, HeadKind::PicoX);
}

TEST_F(HeadFactory, UnknownTypesAndUnpairedVfnHeadsAreInvalidHeads) {
    for (const char *preset : {"unknown-type", "vfn-mismatch", "vgn-mismatch", "blank-memory"}) {
        SCOPED_TRACE(preset);
        Carry(preset);
        const Outcome outcome = Initialize();
        EXPECT_EQ(outcome.status, -2);
        EXPECT_EQ(outcome.headType, "");
        EXPECT_EQ(slot_.head, nullptr);
        EXPECT_EQ(slot_.headKind, HeadKind::None);
        EXPECT_EQ(outcome.output, "Exit headType=\nExit status=-2\n");
    }
}

TEST_F(HeadFactory, ASecondRunKeepsTheHeadAndAFailingOneDiscardsIt) {
    Carry("vfk");
    ASSERT_EQ(Initialize().status, 0);
    const CommonLaser *first = slot_.head.get();

    const Outcome again = Initialize();
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.headType, "VFK");
    EXPECT_EQ(slot_.head.get(), first);

    // Reading the type of the kept head fails on the bus: the head is discarded.
    emulated_adapter::FailNext("I2C_Read", 5);
    const Outcome failed = Initialize();
    EXPECT_EQ(failed.status, -5);
    EXPECT_EQ(failed.headType, "");
    EXPECT_EQ(slot_.head, nullptr);
    EXPECT_EQ(slot_.headKind, HeadKind::None);
    EXPECT_EQ(failed.output, "Exit headType=\nExit status=-5\n");

    // A later run builds a new head.
    EXPECT_EQ(Initialize().status, 0);
    EXPECT_EQ(slot_.headKind, HeadKind::Vfk);
}

TEST_F(HeadFactory, ABusThatRaisesDuringTheProbeGives102) {
    Carry("kora-band1");
    emulated_adapter::ThrowNext("I2C_Read", 1);
    const Outcome outcome = Initialize();
    EXPECT_EQ(outcome.status, -102);
    EXPECT_EQ(outcome.headType, "");
    EXPECT_EQ(slot_.headKind, HeadKind::None);
}

}  // namespace

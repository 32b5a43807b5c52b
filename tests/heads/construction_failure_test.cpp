// Every head model's construction with the bus failing at each of its transfers in turn, on a
// virtual supply behind the emulated adapter library: the transport's failure comes out of the
// constructor unchanged, and whatever the half-built head had acquired is released (the
// sanitizer build checks for leaks at exit).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "api/adapter_state.h"
#include "api/device_tables.h"
#include "api/head_factory.h"
#include "bus/head_presets.h"
#include "heads/head_models.h"
#include "support/emulated_adapter_controls.h"
#include "support/failure_text.h"

namespace {

using HeadFactory = std::unique_ptr<CommonLaser> (*)(const Transport &);

// The models, by the head kind the head factory gives a slot.
struct Model {
    HeadKind headKind;
    HeadFactory create;
};
constexpr Model kModels[] = {
    {HeadKind::Kora, CreateKora},     {HeadKind::PicoX, CreatePicoX}, {HeadKind::P532, CreateP532},
    {HeadKind::Pico00, CreatePico00}, {HeadKind::Vfn, CreateVfn},     {HeadKind::Vfk, CreateVfk}};

// The adapter tries every transfer five times before it reports the failure.
constexpr uint32_t kAttempts = 5;

// A transfer as the bus saw it, without the handle (a fresh supply has a handle of its own).
std::string Describe(const EmulatedTransfer &transfer) {
    std::string text = transfer.entryPoint;
    for (uint32_t i = 0; i < transfer.controlCount && i < sizeof transfer.control; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02X", transfer.control[i]);
        text += byte;
    }
    text += " /" + std::to_string(transfer.dataCount);
    return text;
}

std::vector<std::string> TransfersSoFar() {
    std::vector<std::string> described;
    for (const EmulatedTransfer &transfer : emulated_adapter::Transfers()) {
        described.push_back(Describe(transfer));
    }
    return described;
}

std::vector<std::string> PresetNames() {
    std::vector<std::string> names;
    for (const sim::HeadPreset &preset : sim::HeadPresets()) names.push_back(preset.name);
    return names;
}

class ConstructionFailure : public ::testing::TestWithParam<std::string> {
protected:
    // A fresh supply carrying the preset, reached over the adapter transport; no head yet.
    void FreshSupply() {
        head_.reset();
        emulated_adapter::Reset();
        handle_ = emulated_adapter::AddSupply();
        opened_.handle = handle_;
        ASSERT_EQ(CheckAdapterLibrary(), 0);
        const sim::HeadPreset *preset = sim::FindHeadPreset(GetParam());
        ASSERT_NE(preset, nullptr);
        preset->apply(emulated_adapter::Supply(handle_));
    }

    // The model the head factory chooses for the preset; null when it builds no head.
    HeadFactory ChosenModel() {
        FreshSupply();
        DeviceSlot slot;
        slot.handle = static_cast<DeviceHandle>(handle_);
        slot.adapter.handle = handle_;
        slot.transport = AdapterTransport{&slot.adapter};
        char headType[100] = {};
        ::testing::internal::CaptureStdout();
        const int32_t status = CreateHeadForSlot(slot, headType);
        ::testing::internal::GetCapturedStdout();
        if (status != 0) return nullptr;
        for (const Model &model : kModels) {
            if (model.headKind == slot.headKind) return model.create;
        }
        ADD_FAILURE() << "no model for head kind " << static_cast<int32_t>(slot.headKind);
        return nullptr;
    }

    // The failure the construction raised, or "(none)".
    std::string Construct(HeadFactory create) {
        return FailureText([&] { head_ = create(AdapterTransport{&opened_}); });
    }

    AdapterHandle handle_ = 0;
    OpenedAdapter opened_;
    std::unique_ptr<CommonLaser> head_;
};

TEST_P(ConstructionFailure, EachTransferFailingGivesTheTransportFailure) {
    const HeadFactory create = ChosenModel();
    if (create == nullptr) GTEST_SKIP() << "no head model serves this preset";

    FreshSupply();
    ASSERT_EQ(Construct(create), "(none)");
    const std::vector<std::string> clean = TransfersSoFar();
    ASSERT_FALSE(clean.empty());

    for (uint32_t failing = 0; failing < clean.size(); ++failing) {
        SCOPED_TRACE("failing at transfer " + std::to_string(failing) + " of " +
                     std::to_string(clean.size()) + ": " + clean[failing]);

        // Every attempt fails: construction stops right there with the adapter's failure.
        FreshSupply();
        emulated_adapter::FailTransferAfter(failing, kAttempts);
        EXPECT_EQ(Construct(create), "I2C error");
        EXPECT_EQ(head_, nullptr);
        const std::vector<std::string> before = TransfersSoFar();
        EXPECT_EQ(before, std::vector<std::string>(clean.begin(), clean.begin() + failing));

        FreshSupply();
        emulated_adapter::ThrowTransferAfter(failing, 1);
        EXPECT_EQ(Construct(create), "FTCI2C exception");
        EXPECT_EQ(head_, nullptr);

        // One failure fewer than the attempts: the retry carries the construction through
        // unchanged.
        FreshSupply();
        emulated_adapter::FailTransferAfter(failing, kAttempts - 1);
        EXPECT_EQ(Construct(create), "(none)");
        EXPECT_NE(head_, nullptr);
        EXPECT_EQ(TransfersSoFar(), clean);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryPreset, ConstructionFailure, ::testing::ValuesIn(PresetNames()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             std::string name = info.param;
                             for (char &c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name;
                         });

}  // namespace

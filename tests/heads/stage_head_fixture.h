// A Vfk or Vfn head on a virtual supply carrying one of its presets, reached through the emulated
// adapter library in this process.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bus/head_presets.h"
#include "bus/register_memory.h"
#include "heads/common_laser.h"
#include "heads/reply_text.h"
#include "support/emulated_adapter_controls.h"
#include "support/failure_text.h"
#include "transport/adapter_library.h"

namespace stage_head_test {

using sim::ByteOrder;
using sim::VirtualSupply;
using HeadFactory = std::unique_ptr<CommonLaser> (*)(const Transport &);

constexpr uint8_t kMemory = VirtualSupply::kHeadMemory;
constexpr uint8_t kSecondMemory = VirtualSupply::kSecondHeadMemory;
constexpr uint8_t kMainPot = VirtualSupply::kMainPot;
constexpr uint8_t kMainAdc = VirtualSupply::kMainAdc;
constexpr uint8_t kGlueInputs = VirtualSupply::kGlueInputExpander;
constexpr uint8_t kSupplyIo = VirtualSupply::kSupplyIoExpander;
// Potentiometer channels of the current limit, power limit and main temperature set point.
constexpr uint8_t kCurrentLimitChannel = 3;
constexpr uint8_t kPowerLimitChannel = 2;
constexpr uint8_t kSetPointChannel = 0;
// A potentiometer as delivered.
constexpr uint8_t kMidScale = 0x80;

// A memory that stops acknowledging from a given transaction on, as a part that fails mid-way.
class FailingMemory : public sim::I2cDevice {
public:
    FailingMemory(const std::vector<uint8_t> &contents, int transactionsAnswered)
        : memory_(contents.size(), 2), answered_(transactionsAnswered) {
        memory_.Load(0, contents);
    }
    void Start(bool read) override {
        if (!read) ++started_;
        memory_.Start(read);
    }
    bool WriteByte(uint8_t value) override {
        return started_ <= answered_ && memory_.WriteByte(value);
    }
    uint8_t ReadByte() override { return memory_.ReadByte(); }
    void Stop() override { memory_.Stop(); }

private:
    sim::RegisterMemory memory_;
    int answered_;
    int started_ = 0;
};

class StageHeadTest : public ::testing::Test {
protected:
    // A fresh supply with the preset applied; no head yet.
    void UsePreset(const std::string &name) {
        head.reset();
        emulated_adapter::Reset();
        ASSERT_TRUE(BindAdapterLibrary().moduleLoaded);
        handle = emulated_adapter::AddSupply();
        opened.handle = handle;
        supply = &emulated_adapter::Supply(handle);
        const sim::HeadPreset *preset = sim::FindHeadPreset(name);
        ASSERT_NE(preset, nullptr) << name;
        preset->apply(*supply);
    }

    void Build(HeadFactory create) { head = create(AdapterTransport{&opened}); }

    // The reply, or the failure message prefixed with "failure: ".
    std::string Send(const std::string &command) { return ReplyText(*head, command); }

    size_t Traffic() const { return emulated_adapter::Transfers().size(); }

    void WriteSingle(uint8_t memory, uint16_t offset, float value) {
        supply->WriteSingle(memory, offset, value, ByteOrder::LeastSignificantFirst);
    }
    void WriteStatus(uint8_t memory, uint16_t offset, std::vector<uint8_t> bytes) {
        supply->WriteMemory(memory, offset, bytes);
    }

    // Builds the head on the preset with `memory` failing after each transaction in turn, up to
    // the first construction that succeeds. Returns how many constructions failed.
    int FailuresAtEachTransaction(const std::string &preset, uint8_t memory, HeadFactory create) {
        constexpr int kEnough = 200;
        for (int answered = 0; answered < kEnough; ++answered) {
            UsePreset(preset);
            const std::vector<uint8_t> contents =
                supply->ReadMemory(memory, 0, VirtualSupply::kHeadMemorySize);
            // The supply's own memory is replaced; this supply is not looked at again.
            supply->Bus().Attach(memory, std::make_unique<FailingMemory>(contents, answered));
            const std::string failure = FailureText([&] { Build(create); });
            if (failure == "(none)") return answered;
            EXPECT_EQ(failure, "I2C error") << "after " << answered << " transactions";
            EXPECT_EQ(head, nullptr);
        }
        ADD_FAILURE() << "construction never succeeded";
        return kEnough;
    }

    AdapterHandle handle = 0;
    OpenedAdapter opened;
    VirtualSupply *supply = nullptr;
    std::unique_ptr<CommonLaser> head;
};

struct Answer {
    const char *command;
    const char *reply;
};

}  // namespace stage_head_test

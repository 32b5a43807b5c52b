// Heads no model serves: one of an unknown type, and an erased memory.
#include <vector>

#include "bus/head_memory_image.h"
#include "bus/head_presets.h"

namespace sim {

std::vector<HeadPreset> OtherHeadPresets() {
    std::vector<HeadPreset> presets;
    presets.push_back({"unknown-type", "A head of type Zeta, which no head model serves",
                       [](VirtualSupply &supply) {
                           WriteHeadIdentity(supply, VirtualSupply::kHeadMemory,
                                             {.type = "Zeta",
                                              .identifier = "Z0001",
                                              .boardRevision = "AA",
                                              .powerFullScale = 1.0f},
                                             ByteOrder::MostSignificantFirst);
                       }});
    presets.push_back({"blank-memory", "Head memories as delivered: every byte 0xFF",
                       [](VirtualSupply &supply) {
                           const std::vector<uint8_t> erased(VirtualSupply::kHeadMemorySize, 0xFF);
                           for (uint8_t memory :
                                {VirtualSupply::kHeadMemory, VirtualSupply::kSecondHeadMemory}) {
                               supply.WriteMemory(memory, 0, erased);
                           }
                       }});
    return presets;
}

}  // namespace sim

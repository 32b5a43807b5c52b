#include "bus/head_memory_image.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace sim {

void WriteTextField(VirtualSupply &supply, uint8_t memory, uint16_t offset, std::string_view text) {
    if (text.size() > kHeadTextField) {
        throw std::length_error("WriteTextField: a head memory text holds at most 16 characters");
    }
    std::vector<uint8_t> field(kHeadTextField, 0);
    std::copy(text.begin(), text.end(), field.begin());
    supply.WriteMemory(memory, offset, field);
}

void WriteHeadIdentity(VirtualSupply &supply, uint8_t memory, const HeadIdentity &identity,
                       ByteOrder order) {
    using Map = HeadMemoryMap;
    WriteTextField(supply, memory, Map::kType, identity.type);
    WriteTextField(supply, memory, Map::kIdentifier, identity.identifier);
    WriteTextField(supply, memory, Map::kBoardRevision, identity.boardRevision);
    supply.WriteSingle(memory, Map::kPowerFullScale, identity.powerFullScale, order);
    supply.WriteWord(memory, Map::kHeadTime, identity.headQuarterSeconds, order);
    for (size_t i = 0; i < identity.matchValues.size(); ++i) {
        supply.WriteSingle(memory, static_cast<uint16_t>(Map::kMatchValues + 4 * i),
                           identity.matchValues[i], order);
    }
    supply.WriteMemory(memory, Map::kConfigBytes, identity.configBytes);
}

}  // namespace sim

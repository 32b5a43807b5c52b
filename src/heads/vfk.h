// Heads whose type begins "VFK" or "VGK": the stages, hours, configuration bytes, power full scale
// and match values come from the head memory; the rest is the supply's common hardware.
#pragma once

#include <array>

#include "heads/stage_head.h"

class Vfk final : public StageHead {
public:
    explicit Vfk(const Transport &transport);

    int32_t GetFaultFlags() override;
    // Loads the match values from the head's own words, then programs them.
    int MatchHeadSettings() override;

    // Current limit, power limit, power command, main temperature set point.
    std::array<Descriptor, 4> matchWords;
};

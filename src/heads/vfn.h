// Heads whose type begins "VFN" (with a second memory of type "VFK") or "VGN" (with "VGK"): the
// stages, the main temperature loop, hours, configuration bytes, fan state and power full scale
// come from the second head memory; the supply has no shutter, remote, or digital I/O for them.
#pragma once

#include "heads/stage_head.h"

class Vfn final : public StageHead {
public:
    explicit Vfn(const Transport &transport);

    int32_t GetFaultFlags() override;
    int GetFanState() override;
    double GetMainTemperature() override;
    double GetMainTemperatureCommand() override;
    double GetMainDrive() override;
    const char *GetPowerUnits() override;
    // Loads the match values from the second memory, then programs them.
    int MatchHeadSettings() override;
    // The head regulates its main temperature itself: nothing to program, never a failure.
    int MatchMainTemperature(double degC) override;

    // The main temperature loop, in the layout of a stage.
    StageBlock mainBlock;
};

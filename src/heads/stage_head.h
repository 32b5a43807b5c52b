// Heads that keep their own measurements in a head memory: four temperature-controlled stages,
// named BRF, SHG, THG and ETA after the commands that address them, each a block of a status word,
// a set point, a measured temperature and a drive value; beside them the head hours, the
// electronics hours, the power full scale and two configuration bytes. Vfk heads keep them in the
// head memory, Vfn heads in the second head memory, in the same layout.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "heads/common_laser.h"

// One stage's words, at fixed distances from the block's base offset.
struct StageBlock {
    CommonLaser::Descriptor status;  // its first byte carries the stage's fault bits
    CommonLaser::Descriptor command;
    CommonLaser::Descriptor temperature;
    CommonLaser::Descriptor drive;
};

// A supply input pin and the fault flag it raises at its fault level.
struct InputFault {
    uint16_t mask;
    bool faultWhenHigh;
    int32_t flag;
};

class StageHead : public CommonLaser {
public:
    enum Stage : size_t { kBrf, kShg, kThg, kEta, kStageCount };

    const char *GetLaserModel() override;
    double GetWavelength() override;
    double GetHeadHours() override;
    double GetElectronicsHours() override;
    uint8_t GetConfigByte0() override;
    uint8_t GetConfigByte1() override;
    void SetConfigByte0(uint8_t value) override;
    void SetConfigByte1(uint8_t value) override;
    double GetBrfTemperature() override;
    double GetShgTemperature() override;
    double GetThgTemperature() override;
    double GetEtaTemperature() override;
    double GetBrfTemperatureCommand() override;
    double GetShgTemperatureCommand() override;
    double GetThgTemperatureCommand() override;
    double GetEtaTemperatureCommand() override;
    double GetBrfDrive() override;
    double GetShgDrive() override;
    double GetThgDrive() override;
    double GetEtaDrive() override;

    std::array<StageBlock, kStageCount> stageBlocks;
    std::array<Descriptor, 2> configByteWords;
    Descriptor headHoursWord;
    Descriptor electronicsHoursWord;
    Descriptor powerFullScaleWord;
    // Taken at construction; nothing reads it afterwards.
    std::array<char, kHeadTextSize> boardRevisionCopy{};

protected:
    // Creates the added descriptors on the memory at `memory`.
    StageHead(const Transport &transport, uint8_t memory,
              const std::array<uint16_t, 2> &configByteOffsets);

    // A word of the memory, read once.
    Descriptor AttachWord(uint8_t memory, uint16_t offset, uint8_t dataNumberOfBytes = 4) const;
    StageBlock AttachStageBlock(uint8_t memory, uint16_t baseOffset) const;

    // The last construction steps, once the descriptors are settled: the board revision copy,
    // then the power full scale.
    void ReadBoardRevisionAndFullScale();

    // A single stored least significant byte first, widened; not a number stays so.
    static double ReadSingle(const Descriptor &word);
    // The first byte (at the lowest offset) of a status word.
    static uint8_t ReadStatusFirstByte(const Descriptor &word);
    // A status word as the memory gives it, first byte most significant.
    static uint32_t ReadStatus(const Descriptor &word);

    static int32_t InputFaultFlags(uint16_t levels, std::span<const InputFault> faults);
    // One flag per stage whose status shows a fault; the status words are read in stage order.
    int32_t StageFaultFlags() const;

private:
    double ReadStageWord(Stage stage, Descriptor StageBlock::*word) const;
    uint8_t ReadConfigByte(size_t index) const;
    void WriteConfigByte(size_t index, uint8_t value) const;
};

#include "bus/presets_kora.h"

#include "bus/head_presets.h"

namespace sim {

namespace {

// Stage converter commands and potentiometer channels, BRF, SHG, ETA, THG.
constexpr std::array<uint8_t, 4> kSensorCommands = {0xC4, 0xD4, 0xE4, 0xF4};
constexpr std::array<uint8_t, 4> kBridgeBoardDriveCommands = {0x84, 0x94, 0xA4, 0xB4};
constexpr uint16_t kFirstCalibrationWord = 0x120;  // words 0 to 3, 16 bytes per stage
constexpr uint16_t kFirstOffsetWord = 0x180;       // word 4, 4 bytes per stage
constexpr ByteOrder kSingleOrder = ByteOrder::MostSignificantFirst;

uint16_t CalibrationOffset(size_t stage, size_t word) {
    return static_cast<uint16_t>(word < 4 ? kFirstCalibrationWord + 16 * stage + 4 * word
                                          : kFirstOffsetWord + 4 * stage);
}

enum class Board { Band1, Band2, Band3, NoBand };

// By byte-wise comparison of the revision, as the heads classify their boards.
Board BoardOf(const std::string &revision) {
    if (revision >= "AA" && revision < "BA") return Board::Band1;
    if (revision >= "BA" && revision < "CA") return Board::Band2;
    if (revision >= "CA" && revision <= "ZZ") return Board::Band3;
    return Board::NoBand;
}

// Calibration of boards of bands 1 and 2 (their words 3 and 4 are not used) and of band 3.
constexpr std::array<float, 5> kDividerBoardWords = {100.0f, 114000.0f, 10000.0f, 0.0f, 0.0f};
constexpr std::array<float, 5> kDividerBoardThgWords = {100.0f, 118000.0f, 10000.0f, 0.0f, 0.0f};
constexpr std::array<float, 5> kBridgeBoardBrfWords = {1196.5f, 6490.0f, 243.0f, 10874.0f, 0.25f};
constexpr std::array<float, 5> kBridgeBoardWords = {1213.0f, 6490.0f, 243.0f, 11049.0f, -0.5f};

// Sensor codes of stages near 40, 45, 50 and 55 degrees Celsius on each kind of board (the
// divider of band 2 sees half the voltage of band 1's).
constexpr std::array<uint16_t, 4> kBand1SensorCodes = {505, 512, 520, 527};
constexpr std::array<uint16_t, 4> kBand2SensorCodes = {1009, 1024, 1039, 1054};
constexpr std::array<uint16_t, 4> kBridgeSensorCodes = {909, 1204, 1494, 1779};
constexpr std::array<uint16_t, 4> kDriveCodes = {1200, 1300, 1400, 1500};
constexpr std::array<uint8_t, 4> kSetpointWipers = {128, 140, 150, 160};

HeadPreset Preset(std::string name, std::string description, KoraHeadImage head) {
    return {std::move(name), std::move(description),
            [head = std::move(head)](VirtualSupply &supply) { WriteKoraHead(supply, head); }};
}

}  // namespace

void WriteKoraHead(VirtualSupply &supply, const KoraHeadImage &head) {
    constexpr uint8_t memory = VirtualSupply::kHeadMemory;
    WriteHeadIdentity(supply, memory, head.identity, kSingleOrder);
    for (size_t stage = 0; stage < head.stages.size(); ++stage) {
        const KoraStageImage &image = head.stages[stage];
        for (size_t word = 0; word < image.calibration.size(); ++word) {
            supply.WriteSingle(memory, CalibrationOffset(stage, word), image.calibration[word],
                               kSingleOrder);
        }
        supply.SetAdcCode(VirtualSupply::kStageAdc, kSensorCommands[stage], image.sensorCode);
        supply.SetAdcCode(VirtualSupply::kStageAdc, kBridgeBoardDriveCommands[stage],
                          image.driveCode);
        supply.Pot(VirtualSupply::kHeadPot).SetStoredWiper(static_cast<uint8_t>(stage),
                                                           image.setpointWiper);
    }
}

KoraHeadImage KoraHead(const std::string &boardRevision) {
    KoraHeadImage head;
    // 200 mW full scale; the power limit and command are stored in milliwatts.
    head.identity = {.type = "Kora",
                     .identifier = "K1-0412",
                     .boardRevision = boardRevision,
                     .powerFullScale = 0.2f,
                     .headQuarterSeconds = 36000 * 4,
                     .matchValues = {30.0f, 150.0f, 100.0f, 25.0f},
                     .configBytes = {0x01, 0x00, 0x00, 0x00}};
    const Board board = BoardOf(boardRevision);
    const std::array<uint16_t, 4> &sensorCodes = board == Board::Band1   ? kBand1SensorCodes
                                                  : board == Board::Band2 ? kBand2SensorCodes
                                                                          : kBridgeSensorCodes;
    for (size_t stage = 0; stage < head.stages.size(); ++stage) {
        KoraStageImage &image = head.stages[stage];
        // A board in no band keeps its words at zero: nothing reads them.
        if (board == Board::Band1 || board == Board::Band2) {
            image.calibration = stage == 3 ? kDividerBoardThgWords : kDividerBoardWords;
        } else if (board == Board::Band3) {
            image.calibration = stage == 0 ? kBridgeBoardBrfWords : kBridgeBoardWords;
        }
        image.sensorCode = sensorCodes[stage];
        image.driveCode = kDriveCodes[stage];
        image.setpointWiper = kSetpointWipers[stage];
    }
    return head;
}

KoraHeadImage P532Head() {
    KoraHeadImage head = KoraHead("CB");
    // 5 W full scale; the power limit and command are stored in watts.
    head.identity.type = "P532";
    head.identity.identifier = "P5-0210";
    head.identity.powerFullScale = 5.0f;
    head.identity.matchValues = {40.0f, 4.0f, 2.5f, 25.0f};
    return head;
}

std::vector<HeadPreset> KoraFamilyPresets() {
    std::vector<HeadPreset> presets;
    presets.push_back(Preset("kora-band1", "Kora head, board AB (band 1: no set-point readings)",
                             KoraHead("AB")));
    presets.push_back(Preset("kora-band2", "Kora head, board BC (band 2)", KoraHead("BC")));
    presets.push_back(Preset("kora-band3", "Kora head, board CB (band 3: bridge sensors)",
                             KoraHead("CB")));
    presets.push_back(Preset("kora-no-band",
                             "Kora head, board 01 (in no band: stage readings answer -1)",
                             KoraHead("01")));
    presets.push_back(Preset("p532", "P532 head, 5 W, board CB", P532Head()));
    return presets;
}

}  // namespace sim

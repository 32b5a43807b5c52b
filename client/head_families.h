// What the status panel shows for each head family: the readings, which of them a family has, and
// what the bits of its fault word mean. All of it is data; the panel code only walks the tables.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// Hardware a head family may lack. Readings that need it are not asked of heads without it.
enum HeadFeature : unsigned {
    kBrfStage = 1u << 0,
    kShgStage = 1u << 1,
    kThgStage = 1u << 2,
    kEtaStage = 1u << 3,
    kShutter = 1u << 4,
    kRemote = 1u << 5,
    kEveryFeature = (1u << 6) - 1,
};

struct FaultFlag {
    uint32_t bit;
    const char *name;     // short identifier for scripts: "interlock-open"
    const char *meaning;  // for a person
};

struct HeadFamily {
    const char *name;
    unsigned features;
    std::span<const FaultFlag> faultFlags = {};
    // One converter drives the power and current commands, so setting either moves the other.
    bool powerAndCurrentCoupled = false;
    // The family's boards come in revisions, and a stage reading (temperature, set point or
    // drive of BRF, SHG, THG or ETA) that the board revision lacks is answered with exactly -1.
    bool stagesByBoardRevision = false;
};

// The family of a head, chosen by the beginning of its type text (?HTYPE) as the library chooses
// the head model. An unknown type gets a family with every feature and no named fault bits: every
// reading is asked, and the ones the head refuses are shown as not supported.
const HeadFamily &FamilyOfHeadType(std::string_view headType);

// Every family of the library's head models, for references that list what each one means.
std::span<const HeadFamily *const> HeadFamilies();

enum class ReplyKind { Text, Number, State, Word };

enum class PanelSection { Head, Power, Current, States, Faults, Hours };

struct PanelReading {
    PanelSection section;
    const char *key;      // JSON key
    const char *label;    // for a person
    const char *command;  // query of the command language
    ReplyKind kind;
    const char *unit;           // fixed unit, or nullptr
    bool inPowerUnit;           // the unit is the head's own (?POWERUNITS)
    unsigned needs;             // HeadFeature bits the head must have; 0 for every head
    const char *stateWords[2];  // State: the words for 0 and 1
};

// Measured temperature, set point and drive of one temperature loop.
struct TemperatureLoop {
    const char *name;  // "BRF"
    const char *key;   // JSON key prefix: "brf"
    const char *measured;
    const char *setpoint;
    const char *drive;
    unsigned needs;
};

std::span<const PanelReading> PanelReadings();
std::span<const TemperatureLoop> TemperatureLoops();

// The stages a board revision may lack.
inline constexpr unsigned kStageFeatures = kBrfStage | kShgStage | kThgStage | kEtaStage;

// The query of the head type, asked first to choose the family.
inline constexpr const char *kHeadTypeQuery = "?HTYPE";
// Readings of the panel that others depend on: the unit of the power readings, and the fault
// word that is decoded by family.
inline constexpr const char *kPowerUnitQuery = "?POWERUNITS";
inline constexpr const char *kFaultWordQuery = "?FF";

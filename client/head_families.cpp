#include "client/head_families.h"

namespace {

// Fault bits shared by several families, named once. The glue inputs are the supply's expander
// that also carries the interlock (port 0 bit 0) and the key switch (port 0 bit 1).
constexpr FaultFlag kSupplyInput4Low{0x0008, "supply-input-4-low",
                                     "supply digital input, port 0 bit 4, is low"};
constexpr FaultFlag kHeadInputLow{0x0010, "head-input-low",
                                  "head digital input, port 0 bit 1 or bit 3, is low"};
constexpr FaultFlag kInterlockOpen{0x0020, "interlock-open",
                                   "interlock input (glue input, port 0 bit 0) is low"};
constexpr FaultFlag kGlueInput3High{0x0100, "glue-input-3-high",
                                    "glue input, port 0 bit 3, is high"};
constexpr FaultFlag kGlueInput2High{0x0200, "glue-input-2-high",
                                    "glue input, port 0 bit 2, is high"};
constexpr FaultFlag kBrfStageFault{0x1000, "brf-stage-fault", "the BRF stage reports a fault"};
constexpr FaultFlag kShgStageFault{0x2000, "shg-stage-fault", "the SHG stage reports a fault"};
constexpr FaultFlag kThgStageFault{0x4000, "thg-stage-fault", "the THG stage reports a fault"};
constexpr FaultFlag kEtaStageFault{0x8000, "eta-stage-fault", "the ETA stage reports a fault"};

constexpr FaultFlag kKoraFaults[] = {kSupplyInput4Low, kInterlockOpen, kGlueInput3High,
                                     kGlueInput2High};
constexpr FaultFlag kPicoXFaults[] = {kSupplyInput4Low, kHeadInputLow, kInterlockOpen,
                                      kGlueInput3High, kGlueInput2High};
// Pico00 has no supply or head digital I/O: its fault word comes from the glue inputs alone.
constexpr FaultFlag kPico00Faults[] = {
    {0x0008, "glue-input-13-low", "glue input, port 1 bit 5, is low"},
    {0x0010, "glue-input-14-15-low", "glue input, port 1 bit 6 or bit 7, is low"},
    kInterlockOpen,
    kGlueInput2High,
};
constexpr FaultFlag kVfkFaults[] = {kSupplyInput4Low, kInterlockOpen, kGlueInput3High,
                                    kGlueInput2High,  kBrfStageFault, kShgStageFault,
                                    kThgStageFault,   kEtaStageFault};
constexpr FaultFlag kVfnFaults[] = {
    {0x0008, "main-loop-fault", "the main temperature loop reports a fault"},
    kInterlockOpen,
    kGlueInput2High,
    kBrfStageFault,
    kShgStageFault,
    kThgStageFault,
    kEtaStageFault,
};

constexpr unsigned kFourStages = kStageFeatures;
constexpr unsigned kTwoStages = kBrfStage | kShgStage;

// The simulated head answers a fixed fault word that carries no meaning, and keeps its power and
// current commands apart. Every head on a supply drives both commands from the supply's one
// 10-bit converter.
const HeadFamily kSimulated{.name = "simulated",
                            .features = kTwoStages | kShutter | kRemote};
const HeadFamily kKora{.name = "Kora",
                       .features = kFourStages | kShutter | kRemote,
                       .faultFlags = kKoraFaults,
                       .powerAndCurrentCoupled = true,
                       .stagesByBoardRevision = true};
const HeadFamily kP532{.name = "P532",
                       .features = kFourStages | kShutter | kRemote,
                       .faultFlags = kKoraFaults,
                       .powerAndCurrentCoupled = true,
                       .stagesByBoardRevision = true};
const HeadFamily kPicoX{.name = "PicoX",
                        .features = kTwoStages | kShutter | kRemote,
                        .faultFlags = kPicoXFaults,
                        .powerAndCurrentCoupled = true};
const HeadFamily kPico00{.name = "Pico00",
                         .features = kTwoStages,
                         .faultFlags = kPico00Faults,
                         .powerAndCurrentCoupled = true};
const HeadFamily kVfk{.name = "Vfk",
                      .features = kFourStages | kShutter | kRemote,
                      .faultFlags = kVfkFaults,
                      .powerAndCurrentCoupled = true};
const HeadFamily kVfn{.name = "Vfn",
                      .features = kFourStages,
                      .faultFlags = kVfnFaults,
                      .powerAndCurrentCoupled = true};
const HeadFamily kUnknown{.name = "unknown",
                          .features = kEveryFeature};

constexpr const HeadFamily *kFamilies[] = {&kKora, &kP532, &kPicoX, &kPico00, &kVfk, &kVfn, &kSimulated};

struct TypePrefix {
    std::string_view prefix;
    const HeadFamily *family;
};

// The beginnings of the head type texts, as the library tells the head models apart.
constexpr TypePrefix kTypePrefixes[] = {
    {"Kora", &kKora},
    {"PicoX", &kPicoX},
    {"P-NIR", &kPicoX},
    {"Pico00", &kPico00},
    {"P532", &kP532},
    {"VFN", &kVfn},
    {"VFK", &kVfk},
    {"VGN", &kVfn},
    {"VGK", &kVfk},
    {"Dummy", &kSimulated},
};

using enum PanelSection;
using enum ReplyKind;

constexpr PanelReading kPanelReadings[] = {
    {Head, "head_id", "identifier", "?HID", Text, nullptr, false, 0, {}},
    {Head, "board_revision", "board revision", "?HBDREV", Text, nullptr, false, 0, {}},
    {Head, "model", "model", "?LASERMODEL", Text, nullptr, false, 0, {}},
    {Head, "wavelength", "wavelength", "?WAVELENGTH", Number, "nm", false, 0, {}},
    {Power, "power_unit", "unit", kPowerUnitQuery, Text, nullptr, false, 0, {}},
    {Power, "power", "power", "?P", Number, nullptr, true, 0, {}},
    {Power, "power_command", "command", "?PCMD", Number, nullptr, true, 0, {}},
    {Power, "power_limit", "limit", "?PLIM", Number, nullptr, true, 0, {}},
    {Power, "power_memory", "memory", "?PMEM", Number, nullptr, true, 0, {}},
    {Current, "current", "current", "?C", Number, "A", false, 0, {}},
    {Current, "current_command", "command", "?CCMD", Number, "A", false, 0, {}},
    {Current, "current_limit", "limit", "?CLIM", Number, "A", false, 0, {}},
    {States, "laser", "laser", "?L", State, nullptr, false, 0, {"off", "on"}},
    {States, "shutter", "shutter", "?SH", State, nullptr, false, kShutter, {"closed", "open"}},
    {States, "key_switch", "key switch", "?KSW", State, nullptr, false, 0, {"off", "on"}},
    {States, "interlock", "interlock", "?INT", State, nullptr, false, 0, {"open", "closed"}},
    {States, "fan", "fan", "?FAN", State, nullptr, false, 0, {"off", "on"}},
    {States, "remote", "remote", "?REM", State, nullptr, false, kRemote, {"off", "on"}},
    {States, "analog_mode", "analog mode", "?ANA", State, nullptr, false, 0, {"off", "on"}},
    {States, "control_mode", "control mode", "?CMODE", State, nullptr, false, 0, {}},
    {Faults, "fault_word", "fault word", kFaultWordQuery, Word, nullptr, false, 0, {}},
    {Hours, "head_hours", "head", "?HH", Number, "h", false, 0, {}},
    {Hours, "electronics_hours", "electronics", "?EEH", Number, "h", false, 0, {}},
};

constexpr TemperatureLoop kTemperatureLoops[] = {
    {"main", "main", "?TMAIN", "?TMAINCMD", "?MAIND", 0},
    {"BRF", "brf", "?TBRF", "?TBRFCMD", "?BRFD", kBrfStage},
    {"SHG", "shg", "?TSHG", "?TSHGCMD", "?SHGD", kShgStage},
    {"THG", "thg", "?TTHG", "?TTHGCMD", "?THGD", kThgStage},
    {"ETA", "eta", "?TETA", "?TETACMD", "?ETAD", kEtaStage},
};

}  // namespace

const HeadFamily &FamilyOfHeadType(std::string_view headType) {
    for (const TypePrefix &entry : kTypePrefixes) {
        if (headType.starts_with(entry.prefix)) return *entry.family;
    }
    return kUnknown;
}

std::span<const HeadFamily *const> HeadFamilies() { return kFamilies; }

std::span<const PanelReading> PanelReadings() { return kPanelReadings; }

std::span<const TemperatureLoop> TemperatureLoops() { return kTemperatureLoops; }

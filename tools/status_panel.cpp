// status: one panel of everything the head can tell, chosen by its family.
#include "device.h"
#include "head_families.h"
#include "output.h"
#include "status_codes.h"
#include "subcommands.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>

namespace {

// What became of one reading: not asked (or refused) because the head lacks it, or answered.
struct Reading {
    bool supported = false;
    Exchange exchange;
};

Reading Ask(const Device &device, const HeadFamily &family, const char *command, unsigned needs) {
    if ((family.features & needs) != needs) return {};
    Exchange exchange = device.Send(command);
    if (exchange.status == MAVOZARP_STATUS_INVALID_COMMAND) return {};  // the head refuses it
    return {true, std::move(exchange)};
}

bool Failed(const Reading &reading) { return reading.supported && !reading.exchange.Succeeded(); }

std::string HexBit(uint32_t bit) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", bit);
    return text;
}

// Every answer of the panel, asked once, by command.
struct Panel {
    std::string headType;
    const HeadFamily *family = nullptr;
    std::map<std::string, Reading, std::less<>> readings;
    std::string powerUnit;

    const Reading &Get(std::string_view command) const { return readings.find(command)->second; }
    std::string UnitOf(const PanelReading &entry) const {
        return entry.inPowerUnit ? powerUnit : entry.unit != nullptr ? entry.unit : "";
    }
};

Panel ReadPanel(const Device &device) {
    Panel panel;
    const Exchange type = device.Send(kHeadTypeQuery);
    panel.headType = type.Succeeded() ? type.reply : device.HeadType();
    panel.family = &FamilyOfHeadType(panel.headType);
    for (const PanelReading &entry : PanelReadings()) {
        panel.readings[entry.command] = Ask(device, *panel.family, entry.command, entry.needs);
    }
    for (const TemperatureLoop &loop : TemperatureLoops()) {
        for (const char *command : {loop.measured, loop.setpoint, loop.drive}) {
            panel.readings[command] = Ask(device, *panel.family, command, loop.needs);
        }
    }
    const Reading &unit = panel.Get(kPowerUnitQuery);
    if (unit.supported && unit.exchange.Succeeded()) panel.powerUnit = unit.exchange.reply;
    return panel;
}

std::optional<uint32_t> ParseWord(const std::string &reply) {
    uint32_t word = 0;
    const char *end = reply.data() + reply.size();
    const auto result = std::from_chars(reply.data(), end, word, 16);
    if (reply.empty() || result.ec != std::errc{} || result.ptr != end) return std::nullopt;
    return word;
}

std::optional<uint32_t> FaultWord(const Panel &panel) {
    const Reading &reading = panel.Get(kFaultWordQuery);
    if (!reading.supported || !reading.exchange.Succeeded()) return std::nullopt;
    return ParseWord(reading.exchange.reply);
}

// The set bits of a fault word: the family's named flags first, in table order, then the bits
// that mean nothing on this head (flag null).
struct SetBit {
    uint32_t bit;
    const FaultFlag *flag;
};

std::vector<SetBit> DecodeFaultWord(uint32_t word, const HeadFamily &family) {
    std::vector<SetBit> bits;
    uint32_t named = 0;
    for (const FaultFlag &flag : family.faultFlags) {
        named |= flag.bit;
        if (word & flag.bit) bits.push_back({flag.bit, &flag});
    }
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
        if ((word & bit) && !(named & bit)) bits.push_back({bit, nullptr});
    }
    return bits;
}

// ---- text -------------------------------------------------------------------------------------

std::string Cell(const Reading &reading, ReplyKind kind, const std::string &unit,
                 const char *const stateWords[2]) {
    if (!reading.supported) return "not supported";
    const Exchange &exchange = reading.exchange;
    if (!exchange.Succeeded()) {
        return "error " + std::to_string(exchange.status) + " " +
               DescribeStatus(exchange.status).name;
    }
    if (kind == ReplyKind::State && stateWords[0] != nullptr &&
        (exchange.reply == "0" || exchange.reply == "1")) {
        return std::string(stateWords[exchange.reply == "1"]) + " (" + exchange.reply + ")";
    }
    return unit.empty() ? exchange.reply : exchange.reply + " " + unit;
}

using Rows = std::vector<std::vector<std::string>>;

template <PanelSection section>
void ReadingRows(const Device &, const Panel &panel, Rows &rows) {
    for (const PanelReading &entry : PanelReadings()) {
        if (entry.section != section) continue;
        rows.push_back(
            {std::string("  ") + entry.label,
             Cell(panel.Get(entry.command), entry.kind, panel.UnitOf(entry), entry.stateWords)});
    }
}

void HeadRows(const Device &device, const Panel &panel, Rows &rows) {
    rows.push_back({"  type", panel.headType});
    rows.push_back({"  family", panel.family->name});
    rows.push_back({"  device", device.Selector().Describe()});
    ReadingRows<PanelSection::Head>(device, panel, rows);
}

void TemperatureRows(const Device &, const Panel &panel, Rows &rows) {
    rows.push_back({"", "measured", "set point", "drive"});
    for (const TemperatureLoop &loop : TemperatureLoops()) {
        const Reading &measured = panel.Get(loop.measured);
        const Reading &setpoint = panel.Get(loop.setpoint);
        const Reading &drive = panel.Get(loop.drive);
        if (!measured.supported && !setpoint.supported && !drive.supported) {
            rows.push_back({std::string("  ") + loop.name, "not supported"});
            continue;
        }
        rows.push_back({std::string("  ") + loop.name,
                        Cell(measured, ReplyKind::Number, "", nullptr),
                        Cell(setpoint, ReplyKind::Number, "", nullptr),
                        Cell(drive, ReplyKind::Number, "", nullptr)});
    }
}

void FaultRows(const Device &device, const Panel &panel, Rows &rows) {
    ReadingRows<PanelSection::Faults>(device, panel, rows);
    const std::optional<uint32_t> word = FaultWord(panel);
    if (!word) return;
    if (*word == 0) rows.push_back({"  flags", "none"});
    std::string undefined;
    for (const SetBit &set : DecodeFaultWord(*word, *panel.family)) {
        if (set.flag == nullptr) {
            if (!undefined.empty()) undefined += ' ';
            undefined += HexBit(set.bit);
            continue;
        }
        rows.push_back(
            {"  " + HexBit(set.bit), std::string(set.flag->name) + ": " + set.flag->meaning});
    }
    if (!undefined.empty())
        rows.push_back({"  undefined", undefined + " (no meaning on this head)"});
}

struct PanelPart {
    const char *title;
    void (*rows)(const Device &, const Panel &, Rows &);
};

constexpr PanelPart kPanelParts[] = {
    {"Head", HeadRows},
    {"Power", ReadingRows<PanelSection::Power>},
    {"Current", ReadingRows<PanelSection::Current>},
    {"Temperatures (degrees Celsius) and drives", TemperatureRows},
    {"States", ReadingRows<PanelSection::States>},
    {"Faults", FaultRows},
    {"Hours", ReadingRows<PanelSection::Hours>},
};

void PrintPanel(const Device &device, const Panel &panel) {
    // Titles stand alone in their row (a single cell, never padded); every other row is indented
    // and aligned with all the others.
    Rows rows;
    for (const PanelPart &part : kPanelParts) {
        rows.push_back({part.title});
        part.rows(device, panel, rows);
    }
    const std::vector<size_t> widths = ColumnWidths(rows);
    for (const auto &row : rows) std::cout << FormatRow(row, widths) << '\n';
}

// ---- JSON -------------------------------------------------------------------------------------

Json ValueJson(const Exchange &exchange, ReplyKind kind) {
    switch (kind) {
    case ReplyKind::Text: return Json::String(exchange.reply);
    case ReplyKind::Number:
    case ReplyKind::State:
        if (const std::optional<double> value = ParseNumber(exchange.reply))
            return Json::Number(*value);
        return Json::Null();
    case ReplyKind::Word: break;
    }
    if (const std::optional<uint32_t> word = ParseWord(exchange.reply)) return Json::Integer(*word);
    return Json::Null();
}

Json ReadingJson(const char *command, const Reading &reading, ReplyKind kind,
                 const std::string &unit) {
    Json object = Json::Object();
    object.Set("command", Json::String(command));
    object.Set("supported", Json::Bool(reading.supported));
    if (!reading.supported) return object;
    SetJsonStatus(object, reading.exchange.status);
    object.Set("reply", Json::String(reading.exchange.reply));
    if (!reading.exchange.Succeeded()) return object;
    object.Set("value", ValueJson(reading.exchange, kind));
    if (!unit.empty()) object.Set("unit", Json::String(unit));
    return object;
}

void PrintPanelJson(const Device &device, const Panel &panel) {
    Json readings = Json::Object();
    for (const PanelReading &entry : PanelReadings()) {
        readings.Set(entry.key, ReadingJson(entry.command, panel.Get(entry.command), entry.kind,
                                            panel.UnitOf(entry)));
    }
    for (const TemperatureLoop &loop : TemperatureLoops()) {
        const std::string key = loop.key;
        readings.Set(key + "_temperature", ReadingJson(loop.measured, panel.Get(loop.measured),
                                                       ReplyKind::Number, "degC"));
        readings.Set(key + "_setpoint", ReadingJson(loop.setpoint, panel.Get(loop.setpoint),
                                                    ReplyKind::Number, "degC"));
        readings.Set(key + "_drive",
                     ReadingJson(loop.drive, panel.Get(loop.drive), ReplyKind::Number, ""));
    }

    Json faults = Json::Null();
    if (const std::optional<uint32_t> word = FaultWord(panel)) {
        Json flags = Json::Array();
        Json undefined = Json::Array();
        for (const SetBit &set : DecodeFaultWord(*word, *panel.family)) {
            if (set.flag == nullptr) {
                undefined.Push(Json::String(HexBit(set.bit)));
                continue;
            }
            flags.Push(Json::Object()
                           .Set("bit", Json::String(HexBit(set.bit)))
                           .Set("name", Json::String(set.flag->name))
                           .Set("meaning", Json::String(set.flag->meaning)));
        }
        faults = Json::Object();
        faults.Set("word", Json::Integer(*word));
        faults.Set("flags", std::move(flags));
        faults.Set("undefined_bits", std::move(undefined));
    }

    Json document = Json::Object();
    Json deviceJson = DeviceJson(device);
    deviceJson.Set("family", Json::String(panel.family->name));
    document.Set("device", std::move(deviceJson));
    document.Set("readings", std::move(readings));
    document.Set("faults", std::move(faults));
    PrintJson(document);
}

}  // namespace

int RunStatus(const ParsedArguments &arguments) {
    const DeviceSelector selector = SelectDevice(arguments);
    const Device device(selector);
    const Panel panel = ReadPanel(device);
    if (arguments.Has("--json")) {
        PrintPanelJson(device, panel);
    } else {
        PrintPanel(device, panel);
    }
    for (const auto &[command, reading] : panel.readings) {
        if (Failed(reading)) return 1;
    }
    return 0;
}

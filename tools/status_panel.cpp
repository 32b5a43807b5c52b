// status: one panel of everything the head can tell, chosen by its family.
#include "client/documents.h"
#include "client/status_codes.h"
#include "subcommands.h"

#include <iostream>

namespace {

// ---- text -------------------------------------------------------------------------------------

std::string Cell(const Reading &reading, ReplyKind kind, const std::string &unit,
                 const char *const stateWords[2]) {
    if (reading.boardLacksIt) return "n/a";
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
        const auto lacked = [](const Reading &r) { return !r.supported && !r.boardLacksIt; };
        if (lacked(measured) && lacked(setpoint) && lacked(drive)) {
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

}  // namespace

int RunStatus(const ParsedArguments &arguments) {
    const DeviceSelector selector = SelectDevice(arguments);
    const Device device(selector);
    const Panel panel =
        ReadPanel([&](std::string_view command) { return device.Send(command); }, device.HeadType());
    if (arguments.Has("--json")) {
        PrintJson(StatusDocument(device.Identity(), panel));
    } else {
        PrintPanel(device, panel);
    }
    return panel.AnyFailed() ? 1 : 0;
}

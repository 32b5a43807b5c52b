#include "client/documents.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace {

// The answer a board gives for a stage reading its revision lacks.
constexpr double kLackedByBoard = -1.0;

// Every query of a panel with what it needs of the head, in the order they are asked.
template <typename Visit>
void ForEachPanelQuery(Visit visit) {
    for (const PanelReading &entry : PanelReadings()) visit(entry.command, entry.needs);
    for (const TemperatureLoop &loop : TemperatureLoops()) {
        for (const char *command : {loop.measured, loop.setpoint, loop.drive}) visit(command, loop.needs);
    }
}

bool Has(const HeadFamily &family, unsigned needs) { return (family.features & needs) == needs; }

// A head's answer as a reading: a head that refuses the query lacks it, and so does a board whose
// revision lacks the stage (it answers exactly -1).
Reading ReadingOf(const HeadFamily &family, unsigned needs, const Exchange &answer) {
    if (answer.status == MAVOZARP_STATUS_INVALID_COMMAND) return {};
    const bool boardLacksIt = family.stagesByBoardRevision && (needs & kStageFeatures) != 0 &&
                              answer.Succeeded() && ParseNumber(answer.reply) == kLackedByBoard;
    return {!boardLacksIt, answer, boardLacksIt};
}

Json ValueJson(const Exchange &exchange, ReplyKind kind) {
    switch (kind) {
    case ReplyKind::Text: return JsonText(exchange.reply);
    case ReplyKind::Number:
    case ReplyKind::State:
        if (const std::optional<double> value = ParseNumber(exchange.reply))
            return JsonNumber(*value);
        return nullptr;
    case ReplyKind::Word: break;
    }
    if (const std::optional<uint32_t> word = ParseWord(exchange.reply)) return *word;
    return nullptr;
}

Json ReadingJson(const char *command, const Reading &reading, ReplyKind kind,
                 const std::string &unit) {
    Json object = Json::object();
    object["command"] = command;
    object["supported"] = reading.supported;
    if (reading.boardLacksIt) {
        // The answer stays for those who want it; it is no value.
        SetJsonStatus(object, reading.exchange.status);
        object["reply"] = JsonText(reading.exchange.reply);
    }
    if (!reading.supported) return object;
    SetJsonStatus(object, reading.exchange.status);
    object["reply"] = JsonText(reading.exchange.reply);
    if (!reading.exchange.Succeeded()) return object;
    object["value"] = ValueJson(reading.exchange, kind);
    if (!unit.empty()) object["unit"] = JsonText(unit);
    return object;
}

}  // namespace

std::optional<uint32_t> ParseWord(const std::string &reply) {
    uint32_t word = 0;
    const char *end = reply.data() + reply.size();
    const auto result = std::from_chars(reply.data(), end, word, 16);
    if (reply.empty() || result.ec != std::errc{} || result.ptr != end) return std::nullopt;
    return word;
}

std::string Panel::UnitOf(const PanelReading &entry) const {
    return entry.inPowerUnit ? powerUnit : entry.unit != nullptr ? entry.unit : "";
}

bool Panel::AnyFailed() const {
    for (const auto &[command, reading] : readings) {
        if (reading.supported && !reading.exchange.Succeeded()) return true;
    }
    return false;
}

std::vector<std::string> PanelCommands(const HeadFamily &family) {
    std::vector<std::string> commands;
    ForEachPanelQuery([&](const char *command, unsigned needs) {
        if (Has(family, needs)) commands.emplace_back(command);
    });
    return commands;
}

Panel AssemblePanel(const Exchange &type, const std::string &headType, const std::vector<Exchange> &answers) {
    Panel panel;
    panel.headType = type.Succeeded() ? type.reply : headType;
    panel.family = &FamilyOfHeadType(panel.headType);
    size_t next = 0;
    ForEachPanelQuery([&](const char *command, unsigned needs) {
        Reading &reading = panel.readings[command];
        if (!Has(*panel.family, needs) || next >= answers.size()) return;
        reading = ReadingOf(*panel.family, needs, answers[next++]);
    });
    const Reading &unit = panel.Get(kPowerUnitQuery);
    if (unit.supported && unit.exchange.Succeeded()) panel.powerUnit = unit.exchange.reply;
    return panel;
}

Panel ReadPanel(const CommandSender &send, const std::string &headType) {
    const Exchange type = send(kHeadTypeQuery);
    std::vector<Exchange> answers;
    for (const std::string &command : PanelCommands(FamilyOfHeadType(type.Succeeded() ? type.reply : headType)))
        answers.push_back(send(command));
    return AssemblePanel(type, headType, answers);
}

std::optional<uint32_t> FaultWord(const Panel &panel) {
    const Reading &reading = panel.Get(kFaultWordQuery);
    if (!reading.supported || !reading.exchange.Succeeded()) return std::nullopt;
    return ParseWord(reading.exchange.reply);
}

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

std::string HexBit(uint32_t bit) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", bit);
    return text;
}

Json FaultsJson(uint32_t word, const HeadFamily &family) {
    Json flags = Json::array();
    Json undefined = Json::array();
    for (const SetBit &set : DecodeFaultWord(word, family)) {
        if (set.flag == nullptr) {
            undefined.push_back(HexBit(set.bit));
            continue;
        }
        Json flag = Json::object();
        flag["bit"] = HexBit(set.bit);
        flag["name"] = set.flag->name;
        flag["meaning"] = set.flag->meaning;
        flags.push_back(std::move(flag));
    }
    Json faults = Json::object();
    faults["word"] = word;
    faults["flags"] = std::move(flags);
    faults["undefined_bits"] = std::move(undefined);
    return faults;
}

Json DeviceJson(const DeviceIdentity &device) {
    Json object = Json::object();
    object["selector"] = JsonText(device.selector);
    object["transport"] = device.transport;
    object["head_type"] = JsonText(device.headType);
    return object;
}

Json StatusDocument(const DeviceIdentity &device, const Panel &panel) {
    Json readings = Json::object();
    for (const PanelReading &entry : PanelReadings()) {
        readings[entry.key] = ReadingJson(entry.command, panel.Get(entry.command), entry.kind,
                                          panel.UnitOf(entry));
    }
    for (const TemperatureLoop &loop : TemperatureLoops()) {
        const std::string key = loop.key;
        readings[key + "_temperature"] =
            ReadingJson(loop.measured, panel.Get(loop.measured), ReplyKind::Number, "degC");
        readings[key + "_setpoint"] =
            ReadingJson(loop.setpoint, panel.Get(loop.setpoint), ReplyKind::Number, "degC");
        readings[key + "_drive"] =
            ReadingJson(loop.drive, panel.Get(loop.drive), ReplyKind::Number, "");
    }

    Json faults = nullptr;
    if (const std::optional<uint32_t> word = FaultWord(panel)) faults = FaultsJson(*word, *panel.family);

    Json document = Json::object();
    Json deviceJson = DeviceJson(device);
    deviceJson["family"] = panel.family->name;
    deviceJson["power_and_current_coupled"] = panel.family->powerAndCurrentCoupled;
    document["device"] = std::move(deviceJson);
    document["readings"] = std::move(readings);
    document["faults"] = std::move(faults);
    return document;
}

Batch SendBatch(const CommandSender &send, const std::vector<std::string> &commands) {
    Batch batch;
    size_t next = 0;
    while (next < commands.size() && !batch.Failed()) {
        const std::string &command = commands[next++];
        batch.sent.emplace_back(command, send(command));
    }
    batch.notSent.assign(commands.begin() + static_cast<std::ptrdiff_t>(next), commands.end());
    return batch;
}

Batch BatchOf(const std::vector<std::string> &commands, const std::vector<Exchange> &exchanges) {
    Batch batch;
    const size_t sent = std::min(commands.size(), exchanges.size());
    for (size_t i = 0; i < sent; ++i) batch.sent.emplace_back(commands[i], exchanges[i]);
    batch.notSent.assign(commands.begin() + static_cast<std::ptrdiff_t>(sent), commands.end());
    return batch;
}

Json BatchDocument(const DeviceIdentity &device, const Batch &batch) {
    Json results = Json::array();
    for (const auto &[command, exchange] : batch.sent) {
        Json result = Json::object();
        result["command"] = JsonText(command);
        SetJsonStatus(result, exchange.status);
        result["reply"] = JsonText(exchange.reply);
        results.push_back(std::move(result));
    }
    Json skipped = Json::array();
    for (const std::string &command : batch.notSent) skipped.push_back(JsonText(command));
    Json document = Json::object();
    document["device"] = DeviceJson(device);
    document["ok"] = !batch.Failed();
    document["results"] = std::move(results);
    document["not_sent"] = std::move(skipped);
    return document;
}

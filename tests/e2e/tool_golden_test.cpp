// What the tool shows, compared with golden output: `mavozarp status` of every head preset, on a
// bridge supply (a pseudo-terminal) and on a virtual adapter supply, must match
// tests/e2e/golden/<preset>.txt; so must the panels of a text supply and of the simulated head,
// and the list `mavozarp scan` prints. The transcript holds standard output, then standard error
// line by line and the exit status; the device's selector reads DEVICE, the only part that
// differs between transports and runs. The presets keep their hour counters still, so nothing in
// a panel depends on the time.
//
// After a deliberate change of the output, rewrite the files from what the tool now shows and
// review the difference:
//   MAVOZARP_UPDATE_GOLDEN=1 ctest --test-dir build/linux -R Golden
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bus/head_presets.h"
#include "bus/virtual_supply.h"
#include "serial/bridge_emulator.h"
#include "serial/text_supply_emulator.h"
#include "tool_runner.h"

namespace {

const std::filesystem::path kGoldenDir = MAVOZARP_GOLDEN_DIR;

bool UpdatingGolden() {
    const char *update = std::getenv("MAVOZARP_UPDATE_GOLDEN");
    return update != nullptr && std::string(update) == "1";
}

std::string ReplaceAll(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// A run as the golden files keep it, the device's selector (if any) written as DEVICE.
std::string Transcript(const ToolRun &run, const std::string &selector = "") {
    std::string text = run.out;
    for (const std::string &line : Lines(run.err)) text += "stderr: " + line + "\n";
    text += "exit status: " + std::to_string(run.exit) + "\n";
    return selector.empty() ? text : ReplaceAll(text, selector, "DEVICE");
}

void ExpectGolden(const std::string &name, const std::string &transcript) {
    const std::filesystem::path file = kGoldenDir / (name + ".txt");
    if (UpdatingGolden()) {
        std::ofstream(file, std::ios::binary) << transcript;
        return;
    }
    std::ifstream in(file, std::ios::binary);
    ASSERT_TRUE(in) << "no golden output " << file
                    << "; MAVOZARP_UPDATE_GOLDEN=1 writes it from what the tool shows";
    std::ostringstream golden;
    golden << in.rdbuf();
    EXPECT_EQ(transcript, golden.str())
        << "the output differs from " << file
        << "; if the change is meant, MAVOZARP_UPDATE_GOLDEN=1 rewrites the file";
}

// The panel's rows by their label (the first word), with blanks squeezed; the first row of a
// label wins.
std::map<std::string, std::string> PanelRows(const std::string &panel) {
    std::map<std::string, std::string> rows;
    for (const std::string &line : Lines(panel)) {
        std::istringstream words(line);
        std::string label, word, rest;
        words >> label;
        while (words >> word) rest += (rest.empty() ? "" : " ") + word;
        rows.emplace(label, rest);
    }
    return rows;
}

// The JSON panel says what the text panel says, in a form a script reads.
void ExpectJsonAgreesWithPanel(const ToolRun &json, const ToolRun &text,
                               const std::string &transport) {
    EXPECT_EQ(json.exit, text.exit);
    if (text.out.empty()) {  // the head was not identified: nothing on standard output
        EXPECT_EQ(json.out, "");
        EXPECT_EQ(json.err, text.err);
        return;
    }
    EXPECT_EQ(json.err, "");
    const JsonValue document = ParseJson(json.out);
    std::map<std::string, std::string> rows = PanelRows(text.out);
    EXPECT_EQ(document["device"]["transport"].text, transport);
    EXPECT_EQ(document["device"]["head_type"].text, rows["type"]);
    EXPECT_EQ(document["device"]["family"].text, rows["family"]);

    const JsonValue &readings = document["readings"];
    ASSERT_EQ(readings.kind, JsonValue::Kind::Object);
    for (const auto &[key, reading] : readings.members) {
        SCOPED_TRACE(key);
        EXPECT_EQ(reading["command"].kind, JsonValue::Kind::String);
        ASSERT_EQ(reading["supported"].kind, JsonValue::Kind::Bool);
        if (!reading["supported"].boolean) {
            // Command and supported, nothing else; or, for a stage the board revision lacks, the
            // board's answer too (the panel shows n/a), and never a value.
            if (reading.members.size() != 2u) {
                EXPECT_EQ(reading.members.size(), 4u);
                EXPECT_EQ(reading["status"].number, 0);
                EXPECT_EQ(reading["reply"].text, "-1.000");
            }
            continue;
        }
        ASSERT_EQ(reading["status"].kind, JsonValue::Kind::Number);
        EXPECT_EQ(reading["reply"].kind, JsonValue::Kind::String);
        EXPECT_EQ(reading.Has("value"), reading["status"].number == 0);
        EXPECT_EQ(reading.Has("error"), reading["status"].number != 0);
        // Every answer the script sees is on the panel too.
        EXPECT_TRUE(Contains(text.out, reading["reply"].text)) << reading["reply"].text;
    }
    if (readings["power_unit"]["supported"].boolean) {
        EXPECT_EQ(readings["power_unit"]["value"].text, rows["unit"]);
    }

    const JsonValue &faults = document["faults"];
    if (faults.kind == JsonValue::Kind::Null) return;
    EXPECT_EQ(faults["word"].number, readings["fault_word"]["value"].number);
    for (const JsonValue &flag : faults["flags"].items) {
        EXPECT_EQ(rows[flag["bit"].text], flag["name"].text + ": " + flag["meaning"].text);
    }
}

std::vector<std::string> PresetNames() {
    std::vector<std::string> names;
    for (const sim::HeadPreset &preset : sim::HeadPresets()) names.push_back(preset.name);
    return names;
}

class Golden : public ::testing::TestWithParam<std::string> {};

TEST_P(Golden, StatusOfTheHeadPresetOnABridgeAndOnAnAdapter) {
    const std::string preset = GetParam();
    sim::BridgeEmulator bridge;
    bridge.WithBus([&](sim::I2cBus &bus) {
        sim::VirtualSupply parts(bus);
        sim::FindHeadPreset(preset)->apply(parts);
    });
    const std::string port = bridge.Line().Path();

    const ToolRun overBridge = Tool({"status", "--port", port});
    const std::string transcript = Transcript(overBridge, "--port " + port);
    ExpectGolden(preset, transcript);

    const ToolRun overAdapter = Tool({"status", "--adapter", "0"}, "", AdapterSupplies(preset));
    EXPECT_EQ(Transcript(overAdapter, "--adapter 0"), transcript);

    ExpectJsonAgreesWithPanel(Tool({"status", "--port", port, "--json"}), overBridge, "serial");
    ExpectJsonAgreesWithPanel(
        Tool({"status", "--adapter", "0", "--json"}, "", AdapterSupplies(preset)), overAdapter,
        "adapter");
}

INSTANTIATE_TEST_SUITE_P(Preset, Golden, ::testing::ValuesIn(PresetNames()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             return ReplaceAll(info.param, "-", "_");
                         });

TEST(Golden, StatusOfATextSupply) {
    sim::TextSupplyEmulator supply;
    const std::string port = supply.Line().Path();
    const ToolRun run = Tool({"status", "--port", port});
    ExpectGolden("text-supply", Transcript(run, "--port " + port));
    ExpectJsonAgreesWithPanel(Tool({"status", "--port", port, "--json"}), run, "serial");
}

TEST(Golden, StatusOfTheSimulatedHead) {
    const ToolRun run = Tool({"status", "--simulated"});
    ExpectGolden("simulated", Transcript(run, "--simulated"));
    ExpectJsonAgreesWithPanel(Tool({"status", "--simulated", "--json"}), run, "simulated");
}

TEST(Golden, ScanListsEveryAdapterSupplyWithItsHead) {
    // Two heads that are not identified: the scan names their failure and fails as a whole.
    const EnvironmentChanges supplies =
        AdapterSupplies("kora-band1,picox-640,vgn,unknown-type,blank-memory,p532");
    const ToolRun run = Tool({"scan"}, "", supplies);
    ExpectGolden("scan", Transcript(run));

    const ToolRun json = Tool({"scan", "--json"}, "", supplies);
    EXPECT_EQ(json.exit, run.exit);
    const JsonValue document = ParseJson(json.out);
    const std::vector<JsonValue> &listed = document["supplies"].items;
    const std::vector<std::string> table = Lines(run.out);
    ASSERT_EQ(listed.size() + 1, table.size());  // a header line, then one line per supply
    for (size_t index = 0; index < listed.size(); ++index) {
        SCOPED_TRACE(index);
        const JsonValue &supply = listed[index];
        EXPECT_EQ(supply["index"].number, static_cast<double>(index));
        EXPECT_EQ(supply["transport"].text, "adapter");
        const bool identified = supply["status"].number == 0;
        EXPECT_EQ(supply["head_type"].kind,
                  identified ? JsonValue::Kind::String : JsonValue::Kind::Null);
        EXPECT_EQ(supply.Has("message"), !identified);
        if (identified) {
            EXPECT_TRUE(Contains(table[index + 1], supply["head_type"].text));
            EXPECT_TRUE(Contains(table[index + 1], supply["model"].text));
        }
    }
}

}  // namespace

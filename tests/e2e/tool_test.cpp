// The command-line tool, run as a person or a script runs it: the built program as a child
// process, its standard output and error and its exit status checked.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bus/register_memory.h"
#include "serial/bridge_emulator.h"
#include "serial/text_supply_emulator.h"
#include "tool_runner.h"

namespace {

// ---- help and usage ----------------------------------------------------------------------------

TEST(Tool, EverySubcommandExplainsItselfWithHelp) {
    const std::vector<std::pair<std::string, bool>> subcommands = {
        {"version", false}, {"scan", false}, {"send", true},
        {"status", true},   {"watch", true}, {"shell", true}, {"serve-user", false},
    };
    for (const auto &[name, takesDevice] : subcommands) {
        SCOPED_TRACE(name);
        for (const std::string spelling : {"--help", "-h"}) {
            const ToolRun run = Tool({name, spelling});
            EXPECT_EQ(run.exit, 0);
            EXPECT_EQ(run.out.rfind("Usage: mavozarp " + name, 0), 0u) << run.out;
            EXPECT_TRUE(run.err.empty()) << run.err;
            EXPECT_EQ(Contains(run.out, "--simulated") && Contains(run.out, "--port PATH") &&
                          Contains(run.out, "--adapter N"),
                      takesDevice);
        }
    }
    // Help wins over a missing device.
    EXPECT_EQ(Tool({"send", "--help"}).exit, 0);

    const ToolRun general = Tool({"--help"});
    EXPECT_EQ(general.exit, 0);
    for (const auto &[name, takesDevice] : subcommands)
        EXPECT_TRUE(Contains(general.out, "  " + name + " "));
}

TEST(Tool, UsageMistakesExitWithTwoAndSayWhatIsWrongInOneLine) {
    const ToolRun nothing = Tool({});
    EXPECT_EQ(nothing.exit, 2);
    EXPECT_TRUE(Contains(nothing.err, "Usage: mavozarp"));

    const struct {
        std::vector<std::string> arguments;
        std::string said;  // the whole line, or a piece of it
    } mistakes[] = {
        {{"frobnicate", "--simulated"},
         "mavozarp: unknown subcommand 'frobnicate' (see 'mavozarp --help')"},
        {{"--loud"}, "mavozarp: unknown option '--loud' (see 'mavozarp --help')"},
        {{"help", "frobnicate"}, "mavozarp: unknown subcommand 'frobnicate'"},
        {{"send", "--simulated", "--loud", "?P"},
         "mavozarp send: unknown option '--loud' (see 'mavozarp send --help')"},
        {{"send", "?P"},
         "mavozarp send: no device selected: give --port PATH, --adapter N or --simulated"},
        {{"status", "--simulated", "--adapter", "0"}, "more than one device selected"},
        {{"status", "--adapter", "first"}, "--adapter needs a whole number, not 'first'"},
        {{"status", "--adapter", "99999"}, "--adapter must be below"},
        {{"status", "--simulated", "extra"}, "mavozarp status: unexpected argument 'extra'"},
        {{"send", "--port", "/dev/null", "--port", "/dev/zero", "?P"},
         "option '--port' given twice"},
        {{"watch", "--simulated", "--csv", "--csv", "?P"}, "option '--csv' given twice"},
        {{"send", "--simulated", "--port"}, "--port"},
        {{"status", "--simulated", "--json=false"}, "json"},
        {{"send", "--simulated"}, "mavozarp send: no command given"},
        {{"watch", "--simulated", "--interval", "-1", "?P"}, "--interval needs a number"},
        {{"watch", "--simulated", "--count", "2.5", "?P"}, "--count needs a whole number"},
        {{"watch", "--simulated", "--interval", "1e300", "?P"}, "--interval must be between"},
        // A zero interval filled a disk in minutes; a zero count ran forever.
        {{"watch", "--simulated", "--interval", "0", "?P"}, "--interval must be between 0.01"},
        {{"watch", "--simulated", "--interval", "0.009", "?P"}, "--interval must be between"},
        {{"watch", "--simulated", "--count", "0", "?P"}, "--count must be at least 1"},
        {{"scan", "--simulated"}, "mavozarp scan: unknown option '--simulated'"},
    };
    for (const auto &mistake : mistakes) {
        SCOPED_TRACE(mistake.said);
        const ToolRun run = Tool(mistake.arguments);
        EXPECT_EQ(run.exit, 2);
        EXPECT_TRUE(run.out.empty()) << run.out;
        ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
        EXPECT_TRUE(Contains(run.err, mistake.said)) << run.err;
    }
}

TEST(Tool, HelpCanBeAskedOfTheHelpSubcommandAndVersionOfTheTool) {
    const ToolRun send = Tool({"help", "send"});
    EXPECT_EQ(send.exit, 0);
    EXPECT_EQ(send.out, Tool({"send", "--help"}).out);
    EXPECT_TRUE(send.out.starts_with("Usage: mavozarp send DEVICE [--json] CMD...\n"));
    // Help wins over everything else on the line, mistakes included.
    EXPECT_EQ(Tool({"watch", "--count", "x", "--help"}).exit, 0);
    EXPECT_EQ(Tool({"help"}).out, Tool({"--help"}).out);
}

// The words of a text, with the Markdown marks a terminal shows as noise left out.
std::vector<std::string> PlainWords(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        std::erase(word, '`');
        if (word != "###") words.push_back(word);
    }
    return words;
}

// `help COMMAND` is one whole entry of the reference, found however the command is typed, as
// plain text: a cut in the wrong place, or a query taken for a longer one, would mislead about a
// laser's settings.
TEST(Tool, HelpOfACommandIsItsEntryInTheReference) {
    std::ifstream file(MAVOZARP_COMMAND_REFERENCE);
    const std::string reference((std::istreambuf_iterator<char>(file)), {});
    const struct {
        std::vector<std::string> arguments;
        std::string heading, next;
    } cases[] = {
        {{"help", "PCMD="}, "### PCMD=\n", "\n### ?PMEM\n"},
        {{"help", "pcmd"}, "### PCMD=\n", "\n### ?PMEM\n"},
        {{"help", "?p"}, "### ?P\n", "\n### ?PCMD\n"},
        {{"help", "tmain"}, "### ?TMAIN\n", "\n### ?TBRF\n"},
        {{"help", "?POWERUNITS"}, "### ?POWERUNITS\n", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments.back());
        const ToolRun run = Tool(c.arguments);
        EXPECT_EQ(run.exit, 0);
        const size_t start = reference.find("\n" + c.heading);
        ASSERT_NE(start, std::string::npos);
        const size_t end = c.next.empty() ? reference.size() : reference.find(c.next, start);
        EXPECT_EQ(PlainWords(run.out), PlainWords(reference.substr(start, end - start)));
        EXPECT_TRUE(run.out.starts_with(c.heading.substr(4))) << run.out;
        for (const std::string &line : Lines(run.out)) {
            EXPECT_LE(line.size(), 79u) << line;
            EXPECT_FALSE(line.starts_with("#") || Contains(line, "`")) << line;
        }
    }
    const ToolRun unknown = Tool({"help", "?PP"});
    EXPECT_EQ(unknown.exit, 2);
    EXPECT_TRUE(Contains(unknown.err, "unknown subcommand '?PP'")) << unknown.err;
}

TEST(Tool, VersionShowsTheLibraryVersion) {
    const ToolRun version = Tool({"version"});
    EXPECT_EQ(version.exit, 0);
    EXPECT_EQ(version.out, "MavoZARP 2.1.0\n");

    const ToolRun both = Tool({"--version"});
    EXPECT_EQ(both.exit, 0);
    EXPECT_TRUE(Contains(both.out, "(library: MavoZARP 2.1.0)"));
}

// ---- send --------------------------------------------------------------------------------------

TEST(Tool, SendShowsEachCommandWithItsReplyAndKeepsTheHeadBetweenCommands) {
    const ToolRun run = Tool({"send", "--simulated", "?P", "pcmd=2.5", "?PCMD", "?P"});
    EXPECT_EQ(run.exit, 0);
    EXPECT_TRUE(run.err.empty()) << run.err;
    EXPECT_EQ(Lines(run.out), (std::vector<std::string>{
                                  "?P        ->  0.100",
                                  "pcmd=2.5  ->  (ok)",
                                  "?PCMD     ->  2.500",
                                  "?P        ->  2.600",
                              }));
}

TEST(Tool, SendStopsAtTheFirstFailureWithCodeNameAndMeaning) {
    const ToolRun run = Tool({"send", "--simulated", "?P", "?TTHG", "PCMD=1"});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(Lines(run.out), std::vector<std::string>{"?P      ->  0.100"});
    EXPECT_TRUE(Contains(run.err,
                         "?TTHG: -3 invalid command: not understood or not supported by this head"))
        << run.err;
    EXPECT_TRUE(Contains(run.err, "not sent: PCMD=1"));

    const ToolRun badValue = Tool({"send", "--simulated", "SHCMD=2"});
    EXPECT_EQ(badValue.exit, 1);
    EXPECT_TRUE(
        Contains(badValue.err, "SHCMD=2: -4 invalid data: argument unreadable or out of range"));
}

TEST(Tool, SendJsonListsEveryResultWithItsStatus) {
    const ToolRun run = Tool({"send", "--simulated", "--json", "PCMD=2.5", "?PCMD", "?TETA", "?C"});
    EXPECT_EQ(run.exit, 1);
    const JsonValue document = ParseJson(run.out);
    EXPECT_EQ(document["device"]["selector"].text, "--simulated");
    EXPECT_EQ(document["device"]["transport"].text, "simulated");
    EXPECT_EQ(document["device"]["head_type"].text, "Dummy");
    EXPECT_EQ(document["ok"].kind, JsonValue::Kind::Bool);
    EXPECT_FALSE(document["ok"].boolean);

    const std::vector<JsonValue> &results = document["results"].items;
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0]["command"].text, "PCMD=2.5");
    EXPECT_EQ(results[0]["status"].number, 0);
    EXPECT_EQ(results[0]["reply"].text, "");
    EXPECT_FALSE(results[0].Has("error"));
    EXPECT_EQ(results[1]["reply"].text, "2.500");
    EXPECT_EQ(results[2]["command"].text, "?TETA");
    EXPECT_EQ(results[2]["status"].number, -3);
    EXPECT_EQ(results[2]["error"].text, "invalid command");
    EXPECT_EQ(results[2]["message"].text,
              "-3 invalid command: not understood or not supported by this head");
    ASSERT_EQ(document["not_sent"].items.size(), 1u);
    EXPECT_EQ(document["not_sent"].items[0].text, "?C");

    const ToolRun fine = Tool({"send", "--simulated", "--json", "?HID"});
    EXPECT_EQ(fine.exit, 0);
    EXPECT_TRUE(ParseJson(fine.out)["ok"].boolean);
}

// ---- status ------------------------------------------------------------------------------------

TEST(Tool, StatusShowsThePanelOfTheSimulatedHead) {
    const ToolRun run = Tool({"status", "--simulated"});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    std::map<std::string, std::string> rows;  // indented label -> the rest, blanks squeezed
    for (const std::string &line : Lines(run.out)) {
        std::istringstream words(line);
        std::vector<std::string> parts;
        for (std::string word; words >> word;) parts.push_back(word);
        if (parts.empty()) continue;
        std::string rest;
        for (size_t i = 1; i < parts.size(); ++i) rest += (i > 1 ? " " : "") + parts[i];
        rows.emplace(parts[0], rest);  // first occurrence of a label wins
    }
    EXPECT_EQ(rows["type"], "Dummy");
    EXPECT_EQ(rows["family"], "simulated");
    EXPECT_EQ(rows["identifier"], "123456");
    EXPECT_EQ(rows["wavelength"], "399.000 nm");
    EXPECT_EQ(rows["unit"], "mW");
    EXPECT_EQ(rows["power"], "0.100 mW");
    EXPECT_EQ(rows["current"], "15.100 A");
    EXPECT_EQ(rows["main"], "23.000 23.100 6.000");
    EXPECT_EQ(rows["BRF"], "25.100 25.000 7.000");
    EXPECT_EQ(rows["THG"], "not supported");
    EXPECT_EQ(rows["ETA"], "not supported");
    EXPECT_EQ(rows["interlock"], "closed (1)");
    EXPECT_EQ(rows["shutter"], "closed (0)");
    EXPECT_EQ(rows["fault"], "word F00F");
    EXPECT_EQ(rows["head"], "3.142 h");
}

TEST(Tool, StatusJsonHasTypedReadingsAndTheDecodedFaultWord) {
    const ToolRun run = Tool({"status", "--simulated", "--json"});
    EXPECT_EQ(run.exit, 0) << run.err;
    const JsonValue document = ParseJson(run.out);
    EXPECT_EQ(document["device"]["family"].text, "simulated");
    EXPECT_EQ(document["device"]["head_type"].text, "Dummy");

    const JsonValue &readings = document["readings"];
    EXPECT_EQ(readings["power"]["command"].text, "?P");
    EXPECT_TRUE(readings["power"]["supported"].boolean);
    EXPECT_EQ(readings["power"]["status"].number, 0);
    EXPECT_EQ(readings["power"]["reply"].text, "0.100");
    EXPECT_EQ(readings["power"]["value"].kind, JsonValue::Kind::Number);
    EXPECT_DOUBLE_EQ(readings["power"]["value"].number, 0.1);
    EXPECT_EQ(readings["power"]["unit"].text, "mW");
    EXPECT_EQ(readings["current_limit"]["unit"].text, "A");
    EXPECT_DOUBLE_EQ(readings["brf_temperature"]["value"].number, 25.1);
    EXPECT_EQ(readings["brf_temperature"]["unit"].text, "degC");
    EXPECT_EQ(readings["head_id"]["value"].text, "123456");
    EXPECT_EQ(readings["interlock"]["value"].number, 1);

    // Not supported is no error: no status at all.
    EXPECT_FALSE(readings["thg_temperature"]["supported"].boolean);
    EXPECT_FALSE(readings["thg_temperature"].Has("status"));
    EXPECT_EQ(readings["thg_temperature"]["command"].text, "?TTHG");

    EXPECT_EQ(readings["fault_word"]["value"].number, 0xF00F);
    EXPECT_EQ(document["faults"]["word"].number, 0xF00F);
    // The simulated head's fault word means nothing: every set bit is undefined.
    EXPECT_TRUE(document["faults"]["flags"].items.empty());
    std::vector<std::string> undefined;
    for (const JsonValue &bit : document["faults"]["undefined_bits"].items)
        undefined.push_back(bit.text);
    EXPECT_EQ(undefined, (std::vector<std::string>{"0x0001", "0x0002", "0x0004", "0x0008", "0x1000",
                                                   "0x2000", "0x4000", "0x8000"}));
}

// ---- watch -------------------------------------------------------------------------------------

TEST(Tool, WatchWritesCsvSamplesForLogging) {
    const ToolRun run = Tool(
        {"watch", "--simulated", "--count", "2", "--interval", "0.05", "--csv", "?P", "?TMAIN"});
    EXPECT_EQ(run.exit, 0) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0], "time,elapsed_s,?P,?TMAIN");
    double previous = -1.0;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> fields = Split(lines[i], ',');
        ASSERT_EQ(fields.size(), 4u) << lines[i];
        // 2024-05-01T12:00:00.123Z
        EXPECT_EQ(fields[0].size(), 24u) << fields[0];
        EXPECT_EQ(fields[0][10], 'T');
        EXPECT_EQ(fields[0].back(), 'Z');
        const double elapsed = std::stod(fields[1]);
        EXPECT_GT(elapsed, previous);
        previous = elapsed;
        EXPECT_EQ(fields[2], "0.100");
        EXPECT_EQ(fields[3], "23.000");
    }
}

TEST(Tool, WatchShowsFailedReadingsInPlaceAndExplainsThemOnce) {
    const ToolRun table =
        Tool({"watch", "--simulated", "--count", "3", "--interval", "0.01", "?P", "?TTHG"});
    EXPECT_EQ(table.exit, 1);
    const std::vector<std::string> lines = Lines(table.out);
    ASSERT_EQ(lines.size(), 4u) << table.out;
    EXPECT_EQ(lines[0].rfind("time", 0), 0u);
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(Contains(lines[i], "0.100")) << lines[i];
        EXPECT_TRUE(Contains(lines[i], "error -3")) << lines[i];
    }
    EXPECT_EQ(
        Lines(table.err),
        std::vector<std::string>{
            "mavozarp: ?TTHG: -3 invalid command: not understood or not supported by this head"});

    const ToolRun csv = Tool({"watch", "--simulated", "--count", "1", "--csv", "?TTHG", "?C"});
    ASSERT_EQ(Lines(csv.out).size(), 2u);
    const std::vector<std::string> fields = Split(Lines(csv.out)[1], ',');
    ASSERT_EQ(fields.size(), 4u);
    EXPECT_EQ(fields[2], "");  // keeps the column numeric for plotting
    EXPECT_EQ(fields[3], "15.100");
}

TEST(Tool, WatchStopsCleanlyOnInterrupt) {
    ToolProcess watch({"watch", "--simulated", "--csv", "--interval", "0.02", "?P"});
    // Wait for a few samples, however slowly the machine runs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Lines(watch.Out()).size() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(Lines(watch.Out()).size(), 3u);
    watch.Signal(SIGINT);
    EXPECT_EQ(watch.Wait(), 0);
    const std::string out = watch.Out();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');  // the last sample is whole
    for (const std::string &line : Lines(out)) EXPECT_EQ(Split(line, ',').size(), 3u) << line;
    EXPECT_TRUE(watch.Err().empty()) << watch.Err();
}

// ---- serial supplies ---------------------------------------------------------------------------

TEST(Tool, ATextSupplyAnswersThroughThePortWithItsOwnLineEndsRemoved) {
    sim::TextSupplyEmulator supply;
    supply.SetValue("P", "1.250");
    const std::string port = supply.Line().Path();

    const ToolRun send = Tool({"send", "--port", port, "?HTYPE", "?P", "?BOGUS", "?P"});
    EXPECT_EQ(send.exit, 1);
    EXPECT_EQ(Lines(send.out), (std::vector<std::string>{"?HTYPE  ->  Kora", "?P      ->  1.250"}));
    EXPECT_TRUE(Contains(send.err,
                         "?BOGUS: -3 invalid command: not understood or not supported by this "
                         "head (the supply answered \"ERR\")"))
        << send.err;

    // The panel of a text supply: what it refuses is not supported, not an error.
    const ToolRun status = Tool({"status", "--port", port, "--json"});
    EXPECT_EQ(status.exit, 0) << status.err;
    const JsonValue document = ParseJson(status.out);
    EXPECT_EQ(document["device"]["transport"].text, "serial");
    EXPECT_EQ(document["device"]["head_type"].text, "Kora");
    EXPECT_EQ(document["device"]["family"].text, "Kora");
    EXPECT_DOUBLE_EQ(document["readings"]["power"]["value"].number, 1.25);
    EXPECT_DOUBLE_EQ(document["readings"]["main_temperature"]["value"].number, 25.0);
    EXPECT_FALSE(document["readings"]["current"]["supported"].boolean);
    EXPECT_EQ(document["faults"].kind, JsonValue::Kind::Null);
}

TEST(Tool, TheLibrarysDiagnosticLinesStayOutOfTheToolsOutput) {
    // A bridge whose head memory names no known head: identifying it creates no head, but the
    // library still reports the attempt on standard output.
    sim::BridgeEmulator bridge;
    bridge.WithBus([](sim::I2cBus &bus) {
        auto memory = std::make_unique<sim::RegisterMemory>(0x1000, 2);
        const std::string type = "Nobody";
        memory->Load(0x100, std::vector<uint8_t>(type.begin(), type.end()));
        bus.Attach(0xA4, std::move(memory));
    });

    const ToolRun run = Tool({"send", "--port", bridge.Line().Path(), "--json", "?P"});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(Contains(run.err, "cannot identify the head of --port " + bridge.Line().Path()))
        << run.err;
    EXPECT_FALSE(Contains(run.err, "Exit "));
}

// ---- shell -------------------------------------------------------------------------------------

TEST(Tool, ShellAnswersEachPipedLine) {
    const ToolRun run =
        Tool({"shell", "--simulated"}, "?p\n  PCMD=1.5  \n\n?PCMD\n?TTHG\nhelp\nquit\n?C\n");
    EXPECT_EQ(run.exit, 0);  // quit ends well, a refused line notwithstanding
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "0.100");
    EXPECT_EQ(lines[1], "(ok)");
    EXPECT_EQ(lines[2], "1.500");
    EXPECT_TRUE(Contains(run.out, "?TMAIN"));   // help lists the language
    EXPECT_FALSE(Contains(run.out, "15.100"));  // nothing after quit
    EXPECT_EQ(Lines(run.err),
              (std::vector<std::string>{
                  "error: -3 invalid command: not understood or not supported by this head",
                  "mavozarp: 1 command was refused"}));

    const ToolRun ended = Tool({"shell", "--simulated"}, "?HTYPE\n");
    EXPECT_EQ(ended.exit, 0);
    EXPECT_EQ(ended.out, "Dummy\n");
}

}  // namespace

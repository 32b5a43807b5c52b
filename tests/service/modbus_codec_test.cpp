// The Modbus register map, framing and requests, byte for byte: what a PLC sends, which commands
// reach the device, and what the PLC gets back for each result the device gives.
#include "modbus_frame.h"
#include "modbus_register_map.h"
#include "modbus_requests.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Commands = std::vector<std::string>;

Exchange Ok(std::string reply) { return {.status = MAVOZARP_STATUS_SUCCESS, .reply = std::move(reply)}; }
Exchange Failed(int32_t status) { return {.status = status, .reply = {}}; }

ModbusPlan Plan(const Bytes &pdu, bool writesAllowed = false, int32_t libraryStatus = 0,
                std::string_view libraryVersion = "2.1.0") {
    return PlanModbusRequest(pdu, {.writesAllowed = writesAllowed,
                                   .libraryStatus = libraryStatus,
                                   .libraryVersion = libraryVersion});
}

ModbusAnswer Ran(const ModbusPlan &plan, const std::vector<Exchange> &results) {
    return plan.Answer(ModbusOutcome::Ran, results);
}

Bytes Answer(const ModbusPlan &plan, const std::vector<Exchange> &results) { return Ran(plan, results).pdu; }

TEST(ModbusMap, TheFixedAddressesHoldTheirReadingsAndSettings) {
    const auto queries = [](ModbusTable table, uint32_t first, uint32_t count) {
        Commands texts;
        const auto block = ModbusBlock(table, first, count);
        for (const ModbusEntry *entry : block.value()) {
            texts.emplace_back(entry->query != nullptr ? entry->query : "-");
            if (entry->setting != nullptr) texts.back() += std::string(" ") + entry->setting;
        }
        return texts;
    };
    EXPECT_EQ(queries(ModbusTable::InputRegisters, 0, 6), (Commands{"?P", "?C", "?TMAIN"}));
    EXPECT_EQ(queries(ModbusTable::InputRegisters, 100, 1), (Commands{"?FF"}));
    EXPECT_EQ(queries(ModbusTable::InputRegisters, 200, 1), (Commands{"-"}));
    EXPECT_EQ(queries(ModbusTable::HoldingRegisters, 0, 4), (Commands{"?PCMD PCMD=", "?CCMD CCMD="}));
    EXPECT_EQ(queries(ModbusTable::Coils, 0, 1), (Commands{"?KSWCMD KSWCMD="}));
    EXPECT_EQ(ModbusBlock(ModbusTable::InputRegisters, 100, 1).value()[0]->value, ModbusValue::Word);
    EXPECT_EQ(ModbusBlock(ModbusTable::InputRegisters, 200, 1).value()[0]->value, ModbusValue::LibraryStatus);
}

// The lookup walks the table in order, and writes know floats and coils only.
TEST(ModbusMap, EntriesRunInAddressOrderAndOnlyCoilsAndHoldingRegistersTakeSettings) {
    const ModbusEntry *previous = nullptr;
    for (const ModbusEntry &entry : ModbusMap()) {
        if (previous != nullptr && previous->table == entry.table) {
            EXPECT_GE(entry.address, previous->address + Width(*previous)) << entry.query;
        } else if (previous != nullptr) {
            EXPECT_GT(entry.table, previous->table);
        }
        const bool bits = entry.table == ModbusTable::Coils || entry.table == ModbusTable::DiscreteInputs;
        EXPECT_EQ(bits, entry.value == ModbusValue::State || entry.value == ModbusValue::FaultFlag);
        if (entry.setting != nullptr) {
            EXPECT_TRUE((entry.table == ModbusTable::Coils && entry.value == ModbusValue::State) ||
                        (entry.table == ModbusTable::HoldingRegisters && entry.value == ModbusValue::Float32))
                << entry.setting;
        }
        EXPECT_EQ(entry.query == nullptr, entry.value == ModbusValue::LibraryStatus);
        previous = &entry;
    }
}

TEST(ModbusFrames, FramesArrivingInPiecesComeOutWholeWithTheirIds) {
    const Bytes stream = {0x12, 0x34, 0, 0, 0, 6, 7, 0x04, 0, 0, 0, 2,  // read, transaction 0x1234
                          0x00, 0x01, 0, 0, 0, 2, 9, 0x07};             // function 7, unit 9
    ModbusFrameReader reader;
    std::vector<ModbusFrame> frames;
    for (uint8_t byte : stream) {
        ASSERT_TRUE(reader.Take(std::span(&byte, 1)));
        while (std::optional<ModbusFrame> frame = reader.Next()) frames.push_back(*frame);
    }
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(std::tie(frames[0].transaction, frames[0].unit, frames[0].pdu),
              std::make_tuple(uint16_t{0x1234}, uint8_t{7}, Bytes{0x04, 0, 0, 0, 2}));
    EXPECT_EQ(std::tie(frames[1].transaction, frames[1].unit, frames[1].pdu),
              std::make_tuple(uint16_t{1}, uint8_t{9}, Bytes{0x07}));
    EXPECT_FALSE(reader.Partial());
    EXPECT_EQ(EncodeModbusFrame(0x1234, 7, Bytes{0x84, 0x02}), (Bytes{0x12, 0x34, 0, 0, 0, 3, 7, 0x84, 0x02}));
}

TEST(ModbusFrames, AHeaderThatIsNotModbusTcpBreaksTheStreamAfterTheFramesBeforeIt) {
    for (const Bytes &header : {Bytes{0, 1, 0, 1, 0, 6, 1}, Bytes{0, 1, 0, 0, 0, 1, 1},
                                Bytes{0, 1, 0, 0, 0, 255, 1}}) {
        ModbusFrameReader reader;
        Bytes stream = {0, 9, 0, 0, 0, 2, 1, 0x07};
        stream.insert(stream.end(), header.begin(), header.end());
        EXPECT_TRUE(reader.Take(stream));
        ASSERT_TRUE(reader.Next().has_value());
        EXPECT_FALSE(reader.Next().has_value());
        EXPECT_TRUE(reader.Broken());
        EXPECT_FALSE(reader.Take(Bytes{0, 9, 0, 0, 0, 2, 1, 0x07}));
    }
    ModbusFrameReader longest;
    EXPECT_TRUE(longest.Take(Bytes{0, 1, 0, 0, 0, 254, 1}));
}

TEST(ModbusReads, NumbersAreFloat32HighWordFirstAndReadingsWithoutValueQuietNaN) {
    const ModbusPlan plan = Plan({0x04, 0, 0, 0, 6});
    EXPECT_EQ(plan.Commands(), (Commands{"?P", "?C", "?TMAIN"}));
    EXPECT_FALSE(plan.ChangesSettings());
    EXPECT_EQ(Answer(plan, {Ok("1.500"), Ok("2.000"), Ok("25.000")}),
              (Bytes{0x04, 12, 0x3F, 0xC0, 0, 0, 0x40, 0, 0, 0, 0x41, 0xC8, 0, 0}));
    // Not on this head, not on its board revision, not a number: each a quiet NaN, and no failure.
    const ModbusAnswer answer = Ran(plan, {Failed(-3), Ok("-1.000"), Ok("nan")});
    EXPECT_EQ(answer.pdu, (Bytes{0x04, 12, 0x7F, 0xC0, 0, 0, 0x7F, 0xC0, 0, 0, 0x7F, 0xC0, 0, 0}));
    EXPECT_EQ(answer.libraryStatus, 0);
    EXPECT_EQ(Answer(Plan({0x03, 0, 0, 0, 2}), {Ok("-0.500")}), (Bytes{0x03, 4, 0xBF, 0, 0, 0}));
}

TEST(ModbusReads, BitsAndWordsComeFromTheirRepliesAndTheStatusFromTheUnit) {
    // The fault flags all come from one reading of the fault word.
    const ModbusPlan faults = Plan({0x02, 0, 100, 0, 9});
    EXPECT_EQ(faults.Commands(), (Commands{"?FF"}));
    EXPECT_EQ(Answer(faults, {Ok("F00F")}), (Bytes{0x02, 2, 0b1110'0001, 0b1}));
    const ModbusPlan states = Plan({0x02, 0, 0, 0, 4});
    EXPECT_EQ(states.Commands(), (Commands{"?L", "?SH", "?KSW", "?INT"}));
    EXPECT_EQ(Answer(states, {Ok("1"), Failed(-3), Ok("0"), Ok("1")}), (Bytes{0x02, 1, 0b1001}));
    EXPECT_EQ(Answer(Plan({0x01, 0, 0, 0, 5}), {Ok("1"), Ok("0"), Ok("0"), Ok("1"), Ok("1")}),
              (Bytes{0x01, 1, 0b11001}));
    EXPECT_EQ(Answer(Plan({0x04, 0, 100, 0, 2}), {Ok("00A8"), Failed(-3)}), (Bytes{0x04, 4, 0, 0xA8, 0, 0}));
    EXPECT_EQ(Answer(Plan({0x04, 0, 105, 0, 1}), {Ok("5a")}), (Bytes{0x04, 2, 0, 0x5A}));
    // The library's status needs no device.
    const ModbusPlan status = Plan({0x04, 0, 200, 0, 1}, false, MAVOZARP_STATUS_LOCK_FAILED);
    EXPECT_TRUE(status.Commands().empty());
    const ModbusAnswer answer = Ran(status, {});
    EXPECT_EQ(answer.pdu, (Bytes{0x04, 2, 0xFE, 0x70}));
    EXPECT_EQ(answer.libraryStatus, std::nullopt);
}

TEST(ModbusReads, AFailingDeviceIs04AndItsStatusIsKept) {
    const ModbusPlan plan = Plan({0x04, 0, 0, 0, 6});
    for (const auto &[results, status] : std::vector<std::pair<std::vector<Exchange>, int32_t>>{
             {{Ok("1.0"), Failed(MAVOZARP_STATUS_I2C_ERROR)}, MAVOZARP_STATUS_I2C_ERROR},
             {{Failed(-3), Failed(MAVOZARP_STATUS_INVALID_DATA)}, MAVOZARP_STATUS_INVALID_DATA},
             {{Ok("1.0")}, MAVOZARP_STATUS_OTHER_ERROR}}) {  // results missing without a failure
        const ModbusAnswer answer = plan.Answer(ModbusOutcome::Ran, results);
        EXPECT_EQ(answer.pdu, (Bytes{0x84, 0x04}));
        EXPECT_EQ(answer.libraryStatus, status);
    }
    EXPECT_EQ(Ran(plan, {Ok("1"), Ok("2"), Ok("3")}).libraryStatus, 0);
    EXPECT_EQ(plan.Answer(ModbusOutcome::Busy, {}).pdu, (Bytes{0x84, 0x06}));
    EXPECT_EQ(plan.Answer(ModbusOutcome::Gone, {}).pdu, (Bytes{0x84, 0x0B}));
    EXPECT_EQ(plan.Answer(ModbusOutcome::Busy, {}).libraryStatus, std::nullopt);
}

TEST(ModbusRequests, MalformedRequestsAndAddressesOutsideTheMapAreRefusedBeforeTheDevice) {
    const std::vector<std::pair<Bytes, Bytes>> refused = {
        {{0x07}, {0x87, 0x01}},                           // a function not served
        {{0x04, 0, 0, 0, 0}, {0x84, 0x03}},               // no registers
        {{0x04, 0, 0, 0, 126}, {0x84, 0x03}},             // more than a request may ask
        {{0x02, 0, 0, 0x07, 0xD1}, {0x82, 0x03}},         // more than 2000 bits
        {{0x04, 0, 0, 0}, {0x84, 0x03}},                  // too short
        {{0x04, 0, 0, 0, 2, 0}, {0x84, 0x03}},            // too long
        {{0x04, 0, 44, 0, 2}, {0x84, 0x02}},              // outside the map
        {{0x04, 0, 42, 0, 60}, {0x84, 0x02}},             // across a gap
        {{0x04, 0, 1, 0, 2}, {0x84, 0x02}},               // from the middle of a float32
        {{0x04, 0, 0, 0, 1}, {0x84, 0x02}},               // to the middle of a float32
        {{0x04, 0xFF, 0xFF, 0, 2}, {0x84, 0x02}},         // past the last address
        {{0x02, 0, 7, 0, 1}, {0x82, 0x02}},               // between the states and the faults
        {{0x03, 0, 0, 0, 7}, {0x83, 0x02}},               // past the settings
    };
    for (const auto &[request, exception] : refused) {
        const ModbusPlan plan = Plan(request, true);
        EXPECT_TRUE(plan.Commands().empty()) << testing::PrintToString(request);
        EXPECT_EQ(Answer(plan, {}), exception) << testing::PrintToString(request);
    }
}

TEST(ModbusWrites, SettingsAreSentAsTextThatReadsBackAsTheSameSingle) {
    const ModbusPlan plan = Plan({0x10, 0, 0, 0, 4, 8, 0x3D, 0xCC, 0xCC, 0xCD, 0x40, 0x20, 0, 0}, true);
    EXPECT_EQ(plan.Commands(), (Commands{"PCMD=0.1", "CCMD=2.5"}));
    EXPECT_TRUE(plan.ChangesSettings());
    const ModbusAnswer answer = Ran(plan, {Ok(""), Ok("")});
    EXPECT_EQ(answer.pdu, (Bytes{0x10, 0, 0, 0, 4}));
    EXPECT_EQ(answer.libraryStatus, 0);
    EXPECT_EQ(Plan({0x10, 0, 4, 0, 2, 4, 0x60, 0xAD, 0x78, 0xEC}, true).Commands(), (Commands{"PMEM=1e+20"}));

    const ModbusPlan on = Plan({0x05, 0, 0, 0xFF, 0}, true);
    EXPECT_EQ(on.Commands(), (Commands{"KSWCMD=1"}));
    EXPECT_EQ(Answer(on, {Ok("")}), (Bytes{0x05, 0, 0, 0xFF, 0}));
    EXPECT_EQ(Plan({0x05, 0, 1, 0, 0}, true).Commands(), (Commands{"SHCMD=0"}));
    const ModbusPlan coils = Plan({0x0F, 0, 0, 0, 5, 1, 0b10101}, true);
    EXPECT_EQ(coils.Commands(), (Commands{"KSWCMD=1", "SHCMD=0", "ANACMD=1", "REM=0", "CMODECMD=1"}));
    EXPECT_EQ(Answer(coils, {Ok(""), Ok(""), Ok(""), Ok(""), Ok("")}), (Bytes{0x0F, 0, 0, 0, 5}));
}

TEST(ModbusWrites, RefusedWritesSendNothing) {
    const std::vector<std::tuple<Bytes, bool, Bytes>> refused = {
        {{0x10, 0, 1, 0, 2, 4, 0x3F, 0xC0, 0, 0}, false, {0x90, 0x01}},  // writing not allowed
        {{0x05, 0, 0, 0x12, 0x34}, false, {0x85, 0x01}},
        {{0x06, 0, 0, 0x3F, 0xC0}, true, {0x86, 0x02}},                   // half a float32
        {{0x10, 0, 1, 0, 2, 4, 0x3F, 0xC0, 0, 0}, true, {0x90, 0x02}},
        {{0x10, 0, 0, 0, 2, 4, 0x7F, 0xC0, 0, 0}, true, {0x90, 0x03}},    // NaN
        {{0x10, 0, 0, 0, 2, 4, 0xFF, 0x80, 0, 0}, true, {0x90, 0x03}},    // minus infinity
        {{0x10, 0, 0, 0, 4, 8, 0x3F, 0xC0, 0, 0, 0x7F, 0x80, 0, 0}, true, {0x90, 0x03}},
        {{0x10, 0, 0, 0, 2, 3, 0x3F, 0xC0, 0}, true, {0x90, 0x03}},       // byte count
        {{0x10, 0, 0, 0, 2, 4, 0x3F, 0xC0, 0}, true, {0x90, 0x03}},       // values cut short
        {{0x05, 0, 0, 0x12, 0x34}, true, {0x85, 0x03}},                   // not a coil's value
        {{0x0F, 0, 0, 0, 9, 1, 0xFF}, true, {0x8F, 0x03}},
        {{0x05, 0, 5, 0xFF, 0}, true, {0x85, 0x02}},
    };
    for (const auto &[request, allowed, exception] : refused) {
        const ModbusPlan plan = Plan(request, allowed);
        EXPECT_TRUE(plan.Commands().empty()) << testing::PrintToString(request);
        EXPECT_EQ(Answer(plan, {}), exception) << testing::PrintToString(request);
    }
}

TEST(ModbusWrites, TheDevicesRefusalsAndTheServicesConditionsHaveTheirExceptions) {
    const ModbusPlan plan = Plan({0x10, 0, 0, 0, 4, 8, 0x3F, 0xC0, 0, 0, 0x3F, 0xC0, 0, 0}, true);
    for (const auto &[result, exception] : std::vector<std::pair<Exchange, Bytes>>{
             {Failed(MAVOZARP_STATUS_INVALID_DATA), {0x90, 0x03}},     // a value the head refuses
             {Failed(MAVOZARP_STATUS_INVALID_COMMAND), {0x90, 0x02}},  // a setting it lacks
             {Failed(MAVOZARP_STATUS_SERIAL_ERROR), {0x90, 0x04}}}) {
        const ModbusAnswer answer = Ran(plan, {result});
        EXPECT_EQ(answer.pdu, exception);
        EXPECT_EQ(answer.libraryStatus, result.status);
    }
    EXPECT_EQ(Ran(plan, {Ok(""), Failed(MAVOZARP_STATUS_INVALID_DATA)}).pdu,
              (Bytes{0x90, 0x03}));
    EXPECT_EQ(plan.Answer(ModbusOutcome::WriteRefused, {}).pdu, (Bytes{0x90, 0x01}));
    // A well-formed write of a client that may not write is planned all the same: the gate
    // refuses it (and records it), and the answer is 01.
    const ModbusPlan stranger = Plan({0x05, 0, 0, 0xFF, 0}, false);
    EXPECT_EQ(stranger.Commands(), std::vector<std::string>{"KSWCMD=1"});
    EXPECT_EQ(stranger.Answer(ModbusOutcome::WriteRefused, {}).pdu, (Bytes{0x85, 0x01}));
    EXPECT_EQ(plan.Answer(ModbusOutcome::Busy, {}).pdu, (Bytes{0x90, 0x06}));
    EXPECT_EQ(plan.Answer(ModbusOutcome::Gone, {}).pdu, (Bytes{0x90, 0x0B}));
}

Bytes Object(uint8_t id, const std::string &text) {
    Bytes object(text.begin(), text.end());
    object.insert(object.begin(), {id, static_cast<uint8_t>(text.size())});
    return object;
}

Bytes Identification(uint8_t code, uint8_t more, uint8_t next, const std::vector<Bytes> &objects) {
    Bytes pdu{0x2B, 0x0E, code, 0x83, more, next, static_cast<uint8_t>(objects.size())};
    for (const Bytes &object : objects) pdu.insert(pdu.end(), object.begin(), object.end());
    return pdu;
}

TEST(ModbusIdentification, VendorHeadTypeAndLibraryVersionByCategoryOrOneByOne) {
    const ModbusPlan basic = Plan({0x2B, 0x0E, 1, 0});
    EXPECT_EQ(basic.Commands(), (Commands{"?HTYPE"}));
    EXPECT_EQ(Answer(basic, {Ok("Kora BLUE")}),
              Identification(1, 0, 0, {Object(0, "MavoZARP"), Object(1, "Kora BLUE"), Object(2, "2.1.0")}));
    const ModbusPlan regular = Plan({0x2B, 0x0E, 2, 0x77});  // no such object: from the first
    EXPECT_EQ(regular.Commands(), (Commands{"?HTYPE", "?LASERMODEL"}));
    EXPECT_EQ(Answer(regular, {Ok("PicoX"), Failed(-3)}),
              Identification(2, 0, 0, {Object(0, "MavoZARP"), Object(1, "PicoX"), Object(2, "2.1.0"),
                                       Object(5, "")}));
    const ModbusPlan extended = Plan({0x2B, 0x0E, 3, 0x81});
    EXPECT_EQ(extended.Commands(), (Commands{"?HBDREV", "?POWERUNITS"}));
    EXPECT_EQ(Answer(extended, {Ok("AA"), Ok("mW")}),
              Identification(3, 0, 0, {Object(0x81, "AA"), Object(0x82, "mW")}));
    const ModbusPlan one = Plan({0x2B, 0x0E, 4, 0x82});
    EXPECT_EQ(Answer(one, {Ok("W")}), Identification(4, 0, 0, {Object(0x82, "W")}));
    EXPECT_EQ(Answer(Plan({0x2B, 0x0E, 4, 0x03}), {}), (Bytes{0xAB, 0x02}));
    EXPECT_EQ(Answer(Plan({0x2B, 0x0E, 5, 0}), {}), (Bytes{0xAB, 0x03}));
    EXPECT_EQ(Answer(Plan({0x2B, 0x0E, 1}), {}), (Bytes{0xAB, 0x03}));
    EXPECT_EQ(Answer(Plan({0x2B, 0x0D, 1, 0}), {}), (Bytes{0xAB, 0x01}));
    EXPECT_EQ(Answer(basic, {Failed(MAVOZARP_STATUS_I2C_ERROR)}), (Bytes{0xAB, 0x04}));
}

TEST(ModbusIdentification, ObjectsThatDoNotFitFollowInTheNextRequest) {
    const std::string version(220, 'v');
    const ModbusPlan all = Plan({0x2B, 0x0E, 3, 0}, false, 0, version);
    const Bytes answer = Answer(all, {Ok("Kora"), Ok("Kora BLUE"), Ok("A1"), Ok("AA"), Ok("W")});
    EXPECT_EQ(answer, Identification(3, 0xFF, 5, {Object(0, "MavoZARP"), Object(1, "Kora"),
                                                  Object(2, version)}));
    EXPECT_LE(answer.size(), kLongestPdu);
}

}  // namespace

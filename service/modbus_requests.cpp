#include "modbus_requests.h"

#include "modbus_frame.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

using enum ModbusException;

constexpr uint8_t kEncapsulatedInterface = 0x2B;
constexpr uint8_t kReadDeviceIdentification = 0x0E;  // the interface type under function 43
// Extended identification, with stream and individual access.
constexpr uint8_t kConformityLevel = 0x83;
constexpr size_t kIdentificationHeaderBytes = 7;

// The functions served, with the bounds of the Modbus application protocol on their quantity.
enum class Access : uint8_t { Read, WriteOne, WriteMany };

struct FunctionRule {
    uint8_t function;
    ModbusTable table;
    Access access;
    uint16_t mostItems;
};

constexpr FunctionRule kFunctions[] = {
    {.function = 0x01, .table = ModbusTable::Coils, .access = Access::Read, .mostItems = 2000},
    {.function = 0x02, .table = ModbusTable::DiscreteInputs, .access = Access::Read, .mostItems = 2000},
    {.function = 0x03, .table = ModbusTable::HoldingRegisters, .access = Access::Read, .mostItems = 125},
    {.function = 0x04, .table = ModbusTable::InputRegisters, .access = Access::Read, .mostItems = 125},
    {.function = 0x05, .table = ModbusTable::Coils, .access = Access::WriteOne, .mostItems = 1},
    {.function = 0x06, .table = ModbusTable::HoldingRegisters, .access = Access::WriteOne, .mostItems = 1},
    {.function = 0x0F, .table = ModbusTable::Coils, .access = Access::WriteMany, .mostItems = 1968},
    {.function = 0x10, .table = ModbusTable::HoldingRegisters, .access = Access::WriteMany, .mostItems = 123},
};

bool IsBitTable(ModbusTable table) {
    return table == ModbusTable::Coils || table == ModbusTable::DiscreteInputs;
}

// A single coil is written as FF00 (on) or 0000 (off); anything else is not a coil's value.
constexpr uint16_t kCoilOn = 0xFF00;

// The values a write carries, one per address: 0 or 1 for coils, the registers as sent.
const FunctionRule *RuleOf(uint8_t function) {
    const auto rule = std::find_if(std::begin(kFunctions), std::end(kFunctions),
                                   [&](const FunctionRule &known) { return known.function == function; });
    return rule != std::end(kFunctions) ? rule : nullptr;
}

bool IsWrite(uint8_t function) {
    const FunctionRule *rule = RuleOf(function);
    return rule != nullptr && rule->access != Access::Read;
}

std::optional<std::vector<uint16_t>> WrittenValues(std::span<const uint8_t> pdu, const FunctionRule &rule) {
    const bool bits = IsBitTable(rule.table);
    if (rule.access == Access::WriteOne) {
        if (pdu.size() != 5) return {};
        const uint16_t value = ReadBigEndian16(pdu, 3);
        if (!bits) return std::vector<uint16_t>{value};
        if (value != kCoilOn && value != 0) return {};
        return std::vector<uint16_t>{static_cast<uint16_t>(value == kCoilOn)};
    }
    if (pdu.size() < 6) return {};
    const uint16_t count = ReadBigEndian16(pdu, 3);
    const size_t bytes = bits ? (count + 7u) / 8 : 2u * count;
    if (count < 1 || count > rule.mostItems || pdu[5] != bytes || pdu.size() != 6 + bytes) return {};
    std::vector<uint16_t> values;
    for (size_t i = 0; i < count; ++i) {
        values.push_back(bits ? (pdu[6 + i / 8] >> (i % 8)) & 1u : ReadBigEndian16(pdu, 6 + 2 * i));
    }
    return values;
}

float FloatOfRegisters(uint16_t high, uint16_t low) {
    return std::bit_cast<float>(static_cast<uint32_t>(high) << 16 | low);
}

// Locale-free, and the shortest text that reads back as the same single.
std::string SettingValue(float value) {
    char text[32];
    const std::to_chars_result written = std::to_chars(std::begin(text), std::end(text), value);
    return std::string(text, written.ptr);
}

ModbusException ExceptionOfOutcome(ModbusOutcome outcome) {
    switch (outcome) {
        case ModbusOutcome::Busy:
            return DeviceBusy;
        case ModbusOutcome::Gone:
            return GatewayTargetFailed;
        case ModbusOutcome::LimitRefused:
            return IllegalDataValue;
        case ModbusOutcome::AuditRefused:
            return DeviceFailure;
        case ModbusOutcome::WriteRefused:
        case ModbusOutcome::Ran:
            break;
    }
    return IllegalFunction;
}

// A setting refused for its value is the client's to mend (03); one the head does not have is an
// address this unit lacks (02), not a failing device.
ModbusException ExceptionOfStatus(int32_t status, bool write) {
    if (write && status == MAVOZARP_STATUS_INVALID_DATA) return IllegalDataValue;
    if (write && status == MAVOZARP_STATUS_INVALID_COMMAND) return IllegalDataAddress;
    return DeviceFailure;
}

// The whole reply as a number, when the head gave one: decimal, or hexadecimal given base 16.
template <typename Number, typename... Base>
std::optional<Number> ReplyNumber(const Exchange &result, Base... base) {
    Number value{};
    const char *end = result.reply.data() + result.reply.size();
    const auto [stop, error] = std::from_chars(result.reply.data(), end, value, base...);
    if (!result.Succeeded() || error != std::errc() || stop != end) return {};
    return value;
}

// A reading the head does not have, or does not have on its board revision (-1.000), is a quiet
// NaN, so that a block reads whole on every head.
float ReadingAsFloat(const Exchange &result) {
    constexpr float kNoValue = std::numeric_limits<float>::quiet_NaN();
    const std::optional<double> value = ReplyNumber<double>(result);
    if (!value || std::isnan(*value) || *value == -1.0) return kNoValue;
    // Beyond the range of a single the conversion is undefined: the reading is that far out.
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    if (std::fabs(*value) > std::numeric_limits<float>::max()) return *value > 0 ? kInfinity : -kInfinity;
    return static_cast<float>(*value);
}

uint16_t ReadingAsBit(const ModbusEntry &entry, const Exchange &result) {
    if (entry.value == ModbusValue::FaultFlag) {
        return (ReplyNumber<uint32_t>(result, 16).value_or(0) & entry.faultBit) != 0;
    }
    const std::optional<double> value = ReplyNumber<double>(result);
    return value && *value != 0;
}

int16_t AsSigned16(int32_t value) {
    return static_cast<int16_t>(std::clamp<int32_t>(value, INT16_MIN, INT16_MAX));
}

}  // namespace

std::vector<uint8_t> ModbusExceptionPdu(uint8_t function, ModbusException code) {
    return {static_cast<uint8_t>(function | 0x80), static_cast<uint8_t>(code)};
}

size_t ModbusPlan::CommandFor(const char *command) {
    if (command == nullptr) return kNoCommand;
    const auto found = std::find(commands_.begin(), commands_.end(), command);
    if (found != commands_.end()) return static_cast<size_t>(found - commands_.begin());
    commands_.emplace_back(command);
    return commands_.size() - 1;
}

ModbusPlan PlanModbusRequest(std::span<const uint8_t> pdu, const ModbusUnitContext &unit) {
    ModbusPlan plan;
    plan.function_ = pdu.empty() ? 0 : pdu[0];
    plan.libraryStatus_ = unit.libraryStatus;
    plan.libraryVersion_ = unit.libraryVersion;
    std::optional<ModbusException> refusal = plan.Plan(pdu);
    // A client that may not write is answered 01 whatever its write holds. A well-formed write
    // still goes to the command gate, which refuses it there and leaves its line in the audit log.
    if (refusal && !unit.writesAllowed && IsWrite(plan.function_)) refusal = IllegalFunction;
    if (refusal) {
        ModbusPlan refused;
        refused.function_ = plan.function_;
        refused.fixed_ = ModbusExceptionPdu(plan.function_, *refusal);
        return refused;
    }
    return plan;
}

std::optional<ModbusException> ModbusPlan::Plan(std::span<const uint8_t> pdu) {
    if (function_ == kEncapsulatedInterface) return PlanIdentification(pdu);
    const FunctionRule *rule = RuleOf(function_);
    if (rule == nullptr) return IllegalFunction;
    if (rule->access == Access::Read) {
        if (pdu.size() != 5) return IllegalDataValue;
        const uint16_t count = ReadBigEndian16(pdu, 3);
        if (count < 1 || count > rule->mostItems) return IllegalDataValue;
        const auto block = ModbusBlock(rule->table, ReadBigEndian16(pdu, 1), count);
        if (!block) return IllegalDataAddress;
        for (const ModbusEntry *entry : *block) entries_.push_back({entry, CommandFor(entry->query)});
        kind_ = IsBitTable(rule->table) ? Kind::ReadBits : Kind::ReadRegisters;
        return {};
    }
    const std::optional<std::vector<uint16_t>> values = WrittenValues(pdu, *rule);
    if (!values) return IllegalDataValue;
    const auto block = ModbusBlock(rule->table, ReadBigEndian16(pdu, 1), static_cast<uint32_t>(values->size()));
    if (!block) return IllegalDataAddress;
    // Every value is checked before any setting is sent, so that a refused request changes nothing.
    size_t at = 0;
    for (const ModbusEntry *entry : *block) {
        if (entry->setting == nullptr) return IllegalDataAddress;
        // Built by appending to the setting's name: at -O3 GCC 12 warns, wrongly, of an overlapping
        // copy inside `string + string` here, and the presets make warnings errors.
        std::string command = entry->setting;
        if (entry->value == ModbusValue::Float32) {
            const float number = FloatOfRegisters((*values)[at], (*values)[at + 1]);
            if (!std::isfinite(number)) return IllegalDataValue;
            command.append(SettingValue(number));
        } else {
            command.append((*values)[at] != 0 ? "1" : "0");
        }
        at += Width(*entry);
        CommandFor(command.c_str());
    }
    kind_ = Kind::Write;
    // Single writes answer with the request itself; multiple ones with its address and quantity.
    fixed_.assign(pdu.begin(), pdu.begin() + 5);
    return {};
}

std::optional<ModbusException> ModbusPlan::PlanIdentification(std::span<const uint8_t> pdu) {
    if (pdu.size() < 2) return IllegalDataValue;
    if (pdu[1] != kReadDeviceIdentification) return IllegalFunction;
    if (pdu.size() != 4 || pdu[2] < 1 || pdu[2] > 4) return IllegalDataValue;
    // Each code reads its category and those below it; code 4 reads one object by its id.
    constexpr uint8_t kLastOfCategory[] = {0, 0x02, 0x7F, 0xFF, 0xFF};
    const uint8_t code = pdu[2], wanted = pdu[3], last = kLastOfCategory[code];
    const std::span<const IdentificationObject> objects = IdentificationObjects();
    const auto known = std::find_if(objects.begin(), objects.end(), [&](const IdentificationObject &object) {
        return object.id == wanted && object.id <= last;
    });
    if (code == 4 && known == objects.end()) return IllegalDataAddress;
    // A stream that names no object of its category starts again at the first.
    const uint8_t first = known == objects.end() ? 0 : wanted;
    for (const IdentificationObject &object : objects) {
        if (object.id < first || object.id > last || (code == 4 && object.id != wanted)) continue;
        objects_.push_back(
            {&object, object.source == IdentificationSource::Query ? CommandFor(object.query) : kNoCommand});
    }
    kind_ = Kind::Identify;
    identificationCode_ = code;
    return {};
}

ModbusAnswer ModbusPlan::Answer(ModbusOutcome outcome, std::span<const Exchange> results) const {
    if (kind_ == Kind::Fixed) return {.pdu = fixed_, .libraryStatus = {}};
    if (outcome != ModbusOutcome::Ran) {
        return {.pdu = ModbusExceptionPdu(function_, ExceptionOfOutcome(outcome)), .libraryStatus = {}};
    }
    // A reading the head does not have has no value, but fails nothing; a setting it does not have
    // fails the write.
    const bool write = kind_ == Kind::Write;
    int32_t status = MAVOZARP_STATUS_SUCCESS;
    for (size_t i = 0; i < commands_.size() && status == MAVOZARP_STATUS_SUCCESS; ++i) {
        // The results end after a failing one; a result missing without one is not an answer.
        status = i < results.size() ? results[i].status : MAVOZARP_STATUS_OTHER_ERROR;
        if (!write && status == MAVOZARP_STATUS_INVALID_COMMAND) status = MAVOZARP_STATUS_SUCCESS;
    }
    const std::optional<int32_t> kept = commands_.empty() ? std::nullopt : std::optional(status);
    if (status != MAVOZARP_STATUS_SUCCESS) {
        return {.pdu = ModbusExceptionPdu(function_, ExceptionOfStatus(status, write)), .libraryStatus = kept};
    }
    switch (kind_) {
        case Kind::ReadBits:
            return {.pdu = Bits(results), .libraryStatus = kept};
        case Kind::ReadRegisters:
            return {.pdu = Registers(results), .libraryStatus = kept};
        case Kind::Identify:
            return {.pdu = Identification(results), .libraryStatus = kept};
        case Kind::Write:
        case Kind::Fixed:
            break;
    }
    return {.pdu = fixed_, .libraryStatus = kept};
}

std::vector<uint8_t> ModbusPlan::Bits(std::span<const Exchange> results) const {
    std::vector<uint8_t> pdu{function_, static_cast<uint8_t>((entries_.size() + 7) / 8)};
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (i % 8 == 0) pdu.push_back(0);
        const auto &[entry, command] = entries_[i];
        pdu.back() |= static_cast<uint8_t>(ReadingAsBit(*entry, results[command]) << (i % 8));
    }
    return pdu;
}

std::vector<uint8_t> ModbusPlan::Registers(std::span<const Exchange> results) const {
    std::vector<uint8_t> pdu{function_, 0};
    for (const auto &[entry, command] : entries_) {
        switch (entry->value) {
            case ModbusValue::Float32: {
                const uint32_t bits = std::bit_cast<uint32_t>(ReadingAsFloat(results[command]));
                AppendBigEndian16(pdu, static_cast<uint16_t>(bits >> 16));
                AppendBigEndian16(pdu, static_cast<uint16_t>(bits & 0xFFFF));
                break;
            }
            case ModbusValue::Word:
                // The fault word is 16 bits wide on every head; a wider reply keeps its low word.
                AppendBigEndian16(pdu, static_cast<uint16_t>(ReplyNumber<uint32_t>(results[command], 16).value_or(0)));
                break;
            case ModbusValue::LibraryStatus:
                AppendBigEndian16(pdu, static_cast<uint16_t>(AsSigned16(libraryStatus_)));
                break;
            case ModbusValue::State:
            case ModbusValue::FaultFlag:
                break;  // bits, which no register table holds
        }
    }
    pdu[1] = static_cast<uint8_t>(pdu.size() - 2);
    return pdu;
}

std::vector<uint8_t> ModbusPlan::Identification(std::span<const Exchange> results) const {
    std::vector<uint8_t> pdu{kEncapsulatedInterface, kReadDeviceIdentification, identificationCode_,
                             kConformityLevel, 0, 0, 0};
    constexpr size_t kLongestValue = kLongestPdu - kIdentificationHeaderBytes - 2;
    for (const auto &[object, command] : objects_) {
        std::string value;
        switch (object->source) {
            case IdentificationSource::Vendor:
                value = kModbusVendorName;
                break;
            case IdentificationSource::LibraryVersion:
                value = libraryVersion_;
                break;
            case IdentificationSource::Query:
                if (results[command].Succeeded()) value = results[command].reply;
                break;
        }
        value.resize(std::min(value.size(), kLongestValue));
        if (pdu.size() + 2 + value.size() > kLongestPdu) {
            // The rest in a later request, from this object on.
            pdu[4] = 0xFF;
            pdu[5] = object->id;
            break;
        }
        pdu.push_back(object->id);
        pdu.push_back(static_cast<uint8_t>(value.size()));
        pdu.insert(pdu.end(), value.begin(), value.end());
        ++pdu[6];
    }
    return pdu;
}

#include "serial/text_supply_emulator.h"

#include <algorithm>
#include <iterator>

namespace sim {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kSetAnswer = "OK";
constexpr std::string_view kErrorAnswer = "ERR";
constexpr char kQueryPrefix = '?';
constexpr char kAssignment = '=';

struct Quantity {
    std::string_view name;
    std::string_view initialValue;
    bool settable;
};

constexpr Quantity kQuantities[] = {
    {"PCMD", "0.000", true},
    {"ICMD", "0.000", true},
    {"P", "0.000", false},
    {"TMAIN", "25.000", false},
};

const Quantity *FindQuantity(std::string_view name) {
    const auto found = std::find_if(std::begin(kQuantities), std::end(kQuantities),
                                    [name](const Quantity &q) { return q.name == name; });
    return found == std::end(kQuantities) ? nullptr : found;
}

std::map<std::string, std::string, std::less<>> InitialValues() {
    std::map<std::string, std::string, std::less<>> values;
    for (const Quantity &quantity : kQuantities) values.emplace(quantity.name, quantity.initialValue);
    return values;
}

}  // namespace

// Everything is set up in the initialisers: the line starts serving as soon as it exists.
TextSupplyEmulator::TextSupplyEmulator()
    : fixedAnswers_{{std::string(kIdentificationRequest), std::string(kDefaultIdentification)},
                    {std::string(kHeadTypeRequest), std::string(kDefaultHeadType)}},
      values_(InitialValues()),
      line_([this](std::span<const uint8_t> piece) { return Receive(piece); }) {}

void TextSupplyEmulator::SetAnswer(std::string_view command, std::string_view answer) {
    std::lock_guard lock(mutex_);
    fixedAnswers_.insert_or_assign(std::string(command), std::string(answer));
}

bool TextSupplyEmulator::SetValue(std::string_view name, std::string_view value) {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(name);
    if (found == values_.end()) return false;
    found->second = value;
    return true;
}

std::string TextSupplyEmulator::Value(std::string_view name) {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(name);
    return found == values_.end() ? std::string() : found->second;
}

std::vector<std::vector<uint8_t>> TextSupplyEmulator::Receive(std::span<const uint8_t> piece) {
    std::lock_guard lock(mutex_);
    std::vector<std::vector<uint8_t>> answers;
    for (const uint8_t byte : piece) {
        if (byte == '\n') continue;
        if (byte != '\r') {
            pendingCommand_.push_back(static_cast<char>(byte));
            continue;
        }
        const std::string answer = AnswerTo(pendingCommand_) + std::string(kLineEnd);
        answers.emplace_back(answer.begin(), answer.end());
        pendingCommand_.clear();
    }
    return answers;
}

std::string TextSupplyEmulator::AnswerTo(std::string_view command) {
    if (const auto fixed = fixedAnswers_.find(command); fixed != fixedAnswers_.end()) {
        return fixed->second;
    }
    if (command.starts_with(kQueryPrefix)) {
        const auto value = values_.find(command.substr(1));
        return value == values_.end() ? std::string(kErrorAnswer) : value->second;
    }
    const size_t assignment = command.find(kAssignment);
    if (assignment != std::string_view::npos) {
        const Quantity *quantity = FindQuantity(command.substr(0, assignment));
        if (quantity != nullptr && quantity->settable) {
            values_.insert_or_assign(std::string(quantity->name),
                                     std::string(command.substr(assignment + 1)));
            return std::string(kSetAnswer);
        }
    }
    return std::string(kErrorAnswer);
}

}  // namespace sim

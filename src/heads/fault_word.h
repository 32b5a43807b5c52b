// Fault words made from input words: each flag stands for one condition on the bits of one input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

struct FaultRule {
    size_t input;     // which input word
    uint16_t mask;
    bool whenAllSet;  // the flag is set when all mask bits are set; false: when any is clear
    uint16_t flag;
};

inline uint16_t FaultWord(std::span<const uint16_t> inputs, std::span<const FaultRule> rules) {
    uint16_t word = 0;
    for (const FaultRule &rule : rules) {
        const bool allSet = (inputs[rule.input] & rule.mask) == rule.mask;
        if (allSet == rule.whenAllSet) word = static_cast<uint16_t>(word | rule.flag);
    }
    return word;
}

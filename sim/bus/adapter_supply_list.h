// The virtual adapter supplies a host program asks the emulated adapter library for, written as
// one line of text: the value of the emulator's environment variable, and what the launcher
// prints for it.
//
//   list  = entry { "," entry }
//   entry = preset { "@" key "=" value }
//
// `preset` is a head preset name ("kora-band1"). Keys: `name` the adapter's description (default
// "ZARP Power Supply A"), `serial` its serial number, `location` its location id (decimal or
// 0x-hexadecimal, 32 bits). Names and serial numbers hold at most 99 characters and no "," or
// "@"; either may be empty, and location 0 is allowed (the adapter is then no usable supply).
// Blanks around an entry are ignored, and so are empty entries. For example:
//
//   kora-band1,picox-640@serial=ABC,blank-memory@name=USB Serial Converter@location=0x31
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr char kAdapterSupplyListVariable[] = "MAVOFTCI2C_EMULATED_SUPPLIES";

// The longest name or serial number: the texts travel in 100-byte buffers with a terminator.
inline constexpr size_t kAdapterTextLength = 99;

struct AdapterSupplyEntry {
    std::string preset;
    std::optional<std::string> description;
    std::optional<std::string> serialNumber;
    std::optional<uint32_t> location;
};

// An entry that was left out, and why ("unknown preset \"kora9\"").
struct AdapterSupplyProblem {
    std::string entry;
    std::string reason;
};

struct AdapterSupplyList {
    std::vector<AdapterSupplyEntry> entries;
    std::vector<AdapterSupplyProblem> problems;
};

// How an adapter names itself in the enumeration.
struct AdapterNaming {
    std::string description;
    std::string serialNumber;
    uint32_t location = 0;
};

// The naming of the adapter plugged as number `number`: "ZARP Power Supply A" with a serial number
// and a location of its own, each overridden by what the entry gives.
AdapterNaming NamingFor(uint32_t number, const AdapterSupplyEntry *entry = nullptr);

// Every well-formed entry whose preset exists; the others are problems, in the order written.
AdapterSupplyList ParseAdapterSupplyList(std::string_view text);

}  // namespace sim

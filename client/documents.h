// The documents the tool and the service share: the status panel as it is read from a head, and
// the JSON of `status --json` and `send --json`. A device is reached through a sender, so the
// same code serves a device the tool opened and one the service owns.
#pragma once

#include "client/device.h"
#include "client/head_families.h"
#include "client/output.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using CommandSender = std::function<Exchange(std::string_view command)>;

// What became of one reading: not asked (or refused) because the head lacks it, answered with
// the value its board gives for a reading the board revision lacks (not supported, the answer
// kept), or answered.
struct Reading {
    bool supported = false;
    Exchange exchange;
    bool boardLacksIt = false;
};

// Every answer of the panel, asked once, by command.
struct Panel {
    std::string headType;
    const HeadFamily *family = nullptr;
    std::map<std::string, Reading, std::less<>> readings;
    std::string powerUnit;

    const Reading &Get(std::string_view command) const { return readings.find(command)->second; }
    std::string UnitOf(const PanelReading &entry) const;
    // A reading the head has failed (the panel is then incomplete).
    bool AnyFailed() const;
};

// Asks every reading of the head's family; `headType` stands in when ?HTYPE fails.
Panel ReadPanel(const CommandSender &send, const std::string &headType);
// The same in two steps, for a sender that takes commands in batches: the queries of a family's
// panel in the order asked, then the panel of the ?HTYPE answer and the answers to those queries.
std::vector<std::string> PanelCommands(const HeadFamily &family);
Panel AssemblePanel(const Exchange &type, const std::string &headType, const std::vector<Exchange> &answers);

std::optional<uint32_t> FaultWord(const Panel &panel);
// A fault word as the head answers ?FF (hexadecimal).
std::optional<uint32_t> ParseWord(const std::string &reply);

// The set bits of a fault word: the family's named flags first, in table order, then the bits
// that mean nothing on this head (flag null).
struct SetBit {
    uint32_t bit;
    const FaultFlag *flag;
};
std::vector<SetBit> DecodeFaultWord(uint32_t word, const HeadFamily &family);

std::string HexBit(uint32_t bit);  // "0x0020"

// A fault word decoded: word, flags (bit, name, meaning), undefined_bits.
Json FaultsJson(uint32_t word, const HeadFamily &family);

Json DeviceJson(const DeviceIdentity &device);  // selector, transport and head type

// The document of `status --json`.
Json StatusDocument(const DeviceIdentity &device, const Panel &panel);

// Commands sent in order until the first failure; the ones after it are not sent (they may rely
// on it: a key switch before a mode change, a limit before a command).
struct Batch {
    std::vector<std::pair<std::string, Exchange>> sent;
    std::vector<std::string> notSent;
    bool Failed() const { return !sent.empty() && !sent.back().second.Succeeded(); }
};
Batch SendBatch(const CommandSender &send, const std::vector<std::string> &commands);
// The batch of the exchanges of the commands sent (the first ones, in order).
Batch BatchOf(const std::vector<std::string> &commands, const std::vector<Exchange> &exchanges);

// The document of `send --json`.
Json BatchDocument(const DeviceIdentity &device, const Batch &batch);

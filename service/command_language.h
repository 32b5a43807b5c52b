// How the library reads a setting command: which entry of its language the text is, and the value
// it carries. The service sees only the public header, so the few rules that matter for the
// limits are repeated here: only a to z are folded to upper case; a set entry matches a prefix
// ending in "=", "MATCH=1" only the whole text; an on/off argument is exactly "0" or "1"; a real
// argument is read after the first "=" as blanks, sign, digits with an optional point and an
// optional exponent E, the rest ignored. The tests hold these rules to the library's own answers,
// so a spelling the head takes can never slip past a limit.
#pragma once

#include <optional>
#include <span>
#include <string_view>

enum class Setting {
    PowerCommand,    // PCMD=
    PowerMemory,     // PMEM=, the power command at the next power-up
    CurrentCommand,  // CCMD=
    Shutter,         // SHCMD=
    KeySwitch,       // KSWCMD=
    ControlMode,     // CMODECMD= (also sets the current command to 0)
    AnalogMode,      // ANACMD=
    Remote,          // REM=
    Match,           // MATCH=1: programs the stored settings from head memory
};

enum class ArgumentKind { Real, OnOff, None };

struct SettingEntry {
    std::string_view text;  // as the language writes it: "PCMD=", "MATCH=1"
    Setting setting;
    ArgumentKind argument;
};

// The setting entries of the language, in the order the library tries them.
std::span<const SettingEntry> SettingEntries();

struct SettingRead {
    const SettingEntry *entry = nullptr;  // null: no setting of the language
    // The argument as the library takes it; nothing when it refuses it ("Invalid data") or the
    // entry takes none.
    std::optional<double> value;
};

// Reads a command as the library does; a query, or anything the library answers with "Invalid
// command", reads as no entry.
SettingRead ReadSetting(std::string_view command);

// The command language as a person looks it up: the reference (docs/commands.md, carried by the
// tool), each command's entry in it, and the list of commands with their meanings for the shell.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct LanguageCommand {
    std::string text;  // "?TMAIN", "PCMD=" (set commands end in "=" and take a value)
    std::string meaning;
};

// The whole reference, as docs/commands.md holds it.
std::string_view CommandReference();

// The entry of one command, from its heading to the next, as plain text for a terminal; the name
// is taken in either case, a set command also without its "=" ("pcmd" finds "PCMD=") and a query
// without its "?" ("tmain").
std::optional<std::string> CommandEntry(std::string_view name);

// Every command, in the order the interpreter tries them.
const std::vector<LanguageCommand> &LanguageCommands();

// The command language as a person looks it up in the shell: every command with a short meaning.
#pragma once

#include <span>

struct LanguageCommand {
    const char *text;  // "?TMAIN", "PCMD=" (set commands end in "=" and take a value)
    const char *meaning;
};

std::span<const LanguageCommand> LanguageCommands();

// shell: a prompt where every line is one command of the language.
#include "client/console.h"
#include "client/device.h"
#include "language.h"
#include "line_input.h"
#include "client/output.h"
#include "client/status_codes.h"
#include "subcommands.h"

#include <algorithm>
#include <cctype>
#include <iostream>

namespace {

enum class ShellWord { Help, Quit };

struct ShellWordEntry {
    const char *word;
    ShellWord meaning;
};

// Words of the shell itself; the language has no command by these names.
constexpr ShellWordEntry kShellWords[] = {
    {"help", ShellWord::Help},
    {"quit", ShellWord::Quit},
    {"exit", ShellWord::Quit},
};

const ShellWordEntry *FindShellWord(std::string line) {
    for (char &c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const ShellWordEntry &entry : kShellWords) {
        if (line == entry.word) return &entry;
    }
    return nullptr;
}

// Blanks around a typed line are a slip of the keyboard; the language itself allows none.
std::string Trimmed(const std::string &line) {
    const auto isBlank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    const auto first = std::find_if_not(line.begin(), line.end(), isBlank);
    const auto last = std::find_if_not(line.rbegin(), line.rend(), isBlank).base();
    return first < last ? std::string(first, last) : std::string();
}

void PrintLanguage() {
    std::vector<std::vector<std::string>> rows;
    for (const LanguageCommand &command : LanguageCommands())
        rows.push_back({"  " + std::string(command.text), command.meaning});
    std::cout
        << "Commands (upper or lower case; set commands take a value after '=', e.g. PCMD=1.5):\n"
        << FormatTable(rows) << "Shell: help, quit (or exit, or end of input).\n";
}

}  // namespace

int RunShell(const ParsedArguments &arguments) {
    const DeviceSelector selector = SelectDevice(arguments);
    const Device device(selector);

    const bool interactive = StandardInputIsTerminal();
    std::vector<std::string> vocabulary;
    for (const LanguageCommand &command : LanguageCommands()) vocabulary.emplace_back(command.text);
    for (const ShellWordEntry &entry : kShellWords) vocabulary.emplace_back(entry.word);
    LineInput input(interactive, std::move(vocabulary));
    if (interactive) {
        std::cout << "Head " << device.HeadType() << " on " << selector.Describe()
                  << ". Type help for the commands, quit to leave.\n";
    }

    unsigned long refused = 0;
    bool quit = false;
    std::string line;
    while (!quit && input.Read("mavozarp> ", line)) {
        const std::string command = Trimmed(line);
        if (command.empty()) continue;
        if (const ShellWordEntry *word = FindShellWord(command)) {
            quit = word->meaning == ShellWord::Quit;
            if (!quit) PrintLanguage();
            continue;
        }
        const Exchange exchange = device.Send(command);
        if (exchange.Succeeded()) {
            std::cout << (exchange.reply.empty() ? "(ok)" : exchange.reply) << '\n' << std::flush;
            continue;
        }
        ++refused;
        std::cout << std::flush;
        std::cerr << "error: " << StatusMessage(exchange.status);
        if (!exchange.reply.empty())
            std::cerr << " (the supply answered \"" << exchange.reply << "\")";
        std::cerr << '\n';
    }
    if (interactive && !quit) std::cout << '\n';  // end of input leaves the cursor on the prompt
    // Typing quit is the user's own word that the session went as meant: refusals along the way
    // are counted, not held against it. Input that simply ends (a script) keeps the failure.
    if (quit) {
        if (refused > 0) {
            std::cerr << "mavozarp: " << refused << (refused == 1 ? " command was" : " commands were")
                      << " refused\n";
        }
        return 0;
    }
    return refused > 0 ? 1 : 0;
}

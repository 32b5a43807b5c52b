#include "line_input.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <utility>

#if defined(MAVOZARP_TOOL_HAVE_LIBEDIT)
#include <editline/readline.h>

#include <cctype>
#include <cstring>
#endif

namespace {

#if defined(MAVOZARP_TOOL_HAVE_LIBEDIT)
constexpr int kHistoryLength = 1000;

// The completion callbacks take no context: the vocabulary of the one line input alive.
const std::vector<std::string> *completionVocabulary = nullptr;

bool StartsWithIgnoringCase(const char *text, const char *prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (std::toupper(static_cast<unsigned char>(*text)) !=
            std::toupper(static_cast<unsigned char>(*prefix))) {
            return false;
        }
    }
    return true;
}

// Completions are asked for one at a time; state 0 starts a new search.
char *NextCompletion(const char *prefix, int state) {
    static size_t next = 0;
    if (state == 0) next = 0;
    while (completionVocabulary != nullptr && next < completionVocabulary->size()) {
        const std::string &candidate = (*completionVocabulary)[next++];
        if (StartsWithIgnoringCase(candidate.c_str(), prefix)) return strdup(candidate.c_str());
    }
    return nullptr;
}

char **CompleteCommand(const char *prefix, int, int) {
    rl_attempted_completion_over = 1;  // no file names
    // A blank after a command would make it a different (invalid) command.
    rl_completion_append_character = '\0';
    return rl_completion_matches(prefix, NextCompletion);
}
#endif

}  // namespace

LineInput::LineInput(bool interactive, std::vector<std::string> vocabulary)
    : interactive_(interactive), vocabulary_(std::move(vocabulary)) {
#if defined(MAVOZARP_TOOL_HAVE_LIBEDIT)
    if (!interactive_) return;
    completionVocabulary = &vocabulary_;
    rl_readline_name = "mavozarp";
    rl_attempted_completion_function = CompleteCommand;
    // "?" and "=" belong to the command words.
    rl_basic_word_break_characters = " \t\n";
    using_history();
    stifle_history(kHistoryLength);
    if (const char *home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        historyPath_ = std::string(home) + "/.mavozarp_history";
        read_history(historyPath_.c_str());
    }
#endif
}

LineInput::~LineInput() {
#if defined(MAVOZARP_TOOL_HAVE_LIBEDIT)
    if (!interactive_) return;
    completionVocabulary = nullptr;
    if (!historyPath_.empty()) write_history(historyPath_.c_str());
#endif
}

bool LineInput::Read(const char *prompt, std::string &line) {
#if defined(MAVOZARP_TOOL_HAVE_LIBEDIT)
    if (interactive_) {
        char *typed = readline(prompt);
        if (typed == nullptr) return false;
        line = typed;
        std::free(typed);
        if (!line.empty() && line != lastEntered_) {
            add_history(line.c_str());
            lastEntered_ = line;
        }
        return true;
    }
#endif
    if (interactive_) std::cout << prompt << std::flush;
    return static_cast<bool>(std::getline(std::cin, line));
}

// Lines typed into the shell: with line editing, history and completion of the command language
// (libedit) when reading from a terminal; plain lines otherwise (a pipe, a script, or Windows,
// where the console edits the line itself).
#pragma once

#include <string>
#include <vector>

class LineInput {
public:
    // `vocabulary`: the words offered for completion, matched without regard to case.
    LineInput(bool interactive, std::vector<std::string> vocabulary);
    ~LineInput();  // keeps the history for the next session
    LineInput(const LineInput &) = delete;
    LineInput &operator=(const LineInput &) = delete;

    // False at the end of input.
    bool Read(const char *prompt, std::string &line);

private:
    bool interactive_;
    std::vector<std::string> vocabulary_;
    std::string historyPath_;
    std::string lastEntered_;  // a line repeated at once goes into the history once
};

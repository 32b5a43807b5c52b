// Lines typed into the shell: with line editing, history and completion of the command language
// when the tool is built with readline and reads from a terminal; plain lines otherwise (a pipe,
// a script, or a build without readline).
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
};

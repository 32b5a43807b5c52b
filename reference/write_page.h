// What the reference programs share: where the page goes.
#pragma once

#include <string>

// Writes the page to the file named by the program's first argument, or to standard output when
// there is none; the program's exit status.
int WritePage(int argc, char **argv, const std::string &page);

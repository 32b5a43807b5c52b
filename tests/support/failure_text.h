// The failure message an operation raised, for unit tests that link the library's objects.
#pragma once

#include <string>

#include "base/failure_message.h"

// The text raised by `operation`, or "(none)" when it returned.
template <class Operation>
std::string FailureText(Operation &&operation) {
    try {
        operation();
    } catch (const FailureMessage &failure) {
        return failure.text;
    }
    return "(none)";
}

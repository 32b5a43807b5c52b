#include "interpreter/arguments.h"

#include <cstring>
#include <optional>

#include "base/failure_message.h"
#include "interpreter/numbers.h"

namespace {

const char *ArgumentOf(const char *command) {
    const char *equals = std::strchr(command, '=');
    if (equals == nullptr) RaiseFailure(kInvalidData);
    return equals + 1;
}

}  // namespace

int32_t ParseOnOffArgument(const char *command) {
    const char *argument = ArgumentOf(command);
    if (std::strcmp(argument, "0") == 0) return 0;
    if (std::strcmp(argument, "1") == 0) return 1;
    RaiseFailure(kInvalidData);
}

double ParseRealArgument(const char *command) {
    const std::optional<double> value = ReadDecimal(ArgumentOf(command));
    if (!value) RaiseFailure(kInvalidData);
    return *value;
}

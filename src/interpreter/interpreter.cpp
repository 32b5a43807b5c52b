#include "interpreter/interpreter.h"

#include "api/failure_message.h"

int32_t InterpretCommand(CommonLaser *head, const char *command, char *result) {
    (void)command;
    result[0] = '\0';
    if (head == nullptr) RaiseFailure(kInvalidHead);
    RaiseFailure(kInvalidCommand);
}

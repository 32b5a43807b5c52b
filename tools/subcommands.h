// The subcommands of the tool. Each returns the process's exit status: 0 when everything asked of
// the device succeeded, 1 when something failed; usage mistakes are thrown as UsageError.
#pragma once

#include "arguments.h"

#include "client/output.h"

int RunVersion(const ParsedArguments &arguments);
int RunScan(const ParsedArguments &arguments);
int RunSend(const ParsedArguments &arguments);
int RunStatus(const ParsedArguments &arguments);
int RunWatch(const ParsedArguments &arguments);
int RunShell(const ParsedArguments &arguments);
int RunPorts(const ParsedArguments &arguments);
int RunServeUser(const ParsedArguments &arguments);

// Helpers shared by the subcommands.
void PrintJson(const Json &document);

#pragma once
// The commands of rq7cli, each a short function over the shared sequences.

#include "cli/CliArguments.h"
#include "cli/Rq7Cli.h"

// Runs the command of line; returns its exit code (CliExit.h).
int RunCommand(TCliContext& context, const TCommandLine& line);

#pragma once
// The commands of rq7cli, each a short function over the shared sequences.

#include "cli/CliArguments.h"
#include "cli/Rq7Cli.h"

// The commands, as the command table (CliCommandTable.h) runs them; each returns its exit code (CliExit.h).
int CommandPorts(TCliContext& context, const TCommandLine& line);
int CommandRead(TCliContext& context, const TCommandLine& line);
int CommandWrite(TCliContext& context, const TCommandLine& line);
int CommandLimits(TCliContext& context, const TCommandLine& line);
int CommandTranslate(TCliContext& context, const TCommandLine& line);
// The service record (CliRecords.cpp).
int CommandHistory(TCliContext& context, const TCommandLine& line);
int CommandReport(TCliContext& context, const TCommandLine& line);
int CommandRestore(TCliContext& context, const TCommandLine& line);
int CommandCompare(TCliContext& context, const TCommandLine& line);

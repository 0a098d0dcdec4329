#pragma once
// rq7cli's one table of commands and options: the parser, `rq7cli help`, `rq7cli help COMMAND`,
// `rq7cli COMMAND --help` and the manual page's synopsis (scripts/cli-docs.py) all come from it.

#include <string>
#include <vector>

struct TCliContext;
struct TCommandLine;

// An option, as the parser takes it and the help shows it.
struct TCliOption {
    const char* Name;             // without the dashes
    const char* ValueName;        // nullptr for a switch
    const char* ValueNameEnglish; // for the manual page
    const char* Help;             // UTF-8; a new line continues it below
};

struct TCliCommand {
    const char* Name;
    const char* Operand; // "ФАЙЛ" for write; empty for the others
    const char* OperandEnglish;
    const char* Summary; // one line, for `rq7cli help`
    const char* SummaryEnglish;
    const char* Help;                 // what it does, for `rq7cli help COMMAND`
    std::vector<const char*> Options; // its own options (the common ones come with every command)
    const char* Example;
    int (*Run)(TCliContext& context, const TCommandLine& line);
    bool UsesPort = true;         // false: the command never opens a port (its --port is not resolved)
    bool OperandOptional = false; // the operand may be left out (report with --factory-number)
};

// Every command, in the order help lists them.
const std::vector<TCliCommand>& CliCommands();
// The command of that name, or nullptr.
const TCliCommand* FindCliCommand(const std::string& name);
// Every option; the common ones (port, trace, help) are named in CommonCliOptions.
const std::vector<TCliOption>& CliOptions();
const std::vector<const char*>& CommonCliOptions();
const TCliOption* FindCliOption(const std::string& name);
// The synopsis of a command: "rq7cli read [--json] [--output ФАЙЛ|-] [--port ИМЯ] [--trace]".
std::string CliSynopsis(const TCliCommand& command);

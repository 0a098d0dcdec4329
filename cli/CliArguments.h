#pragma once
// The command line of rq7cli: its commands and options (from the one command table), checked before a
// port is opened or a password asked, and the help texts.

#include <array>
#include <optional>
#include <string>
#include <vector>

struct TCliCommand;

struct TCommandLine {
    std::string Command;
    std::string File; // write
    std::string Port; // empty when --port was not given
    bool Trace = false;
    bool Json = false;
    std::string Output; // "-": standard output
    bool NoVerify = false;
    std::optional<std::string> Address;
    std::array<std::optional<std::string>, 3> Channels; // "HIGH,LOW"
    // The service record.
    std::string History;    // --history: the store's file; empty when not given
    bool NoHistory = false; // --no-history: nothing recorded, no read before a write
    std::optional<std::string> Technician;
    std::string RecordId; // report and restore: the record's number as given
    std::optional<std::string> FactoryNumber;
    std::string Since;
    bool Csv = false;
    bool Check = false;
    std::string Pdf;
    std::string Html;
    bool AsLeft = false; // restore, compare: the block as left (--as-left) rather than as found
    bool AsFoundGiven = false;
    bool OtherAdapter = false;
    std::string CompareFile;
    std::string CompareRecord;
};

// What the command line asks for: a command to run (Line), a text to print and end with exit 0
// (Text: a help or the version), or a usage error (Error, without the "rq7cli: " in front).
struct TParsed {
    std::optional<TCommandLine> Line;
    const TCliCommand* Command = nullptr;
    std::string Text;
    std::string Error;
};

TParsed Parse(const std::vector<std::string>& args);

// `rq7cli help` (and --help without a command).
std::string Rq7CliHelp();
// `rq7cli help COMMAND` and `rq7cli COMMAND --help`.
std::string CommandHelp(const TCliCommand& command);
// `rq7cli --version`.
std::string Rq7CliVersion();

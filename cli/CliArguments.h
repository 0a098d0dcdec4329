#pragma once
// The command line of rq7cli: its commands and options, checked before a port is opened or a password
// asked, and the text of --help.

#include <array>
#include <optional>
#include <string>
#include <vector>

struct TCommandLine {
    std::string Command;
    std::string File; // write
    std::string Port = "COM1";
    bool Trace = false;
    bool Json = false;
    std::string Output;
    bool NoVerify = false;
    std::optional<std::string> Address;
    std::array<std::optional<std::string>, 3> Channels; // "HIGH,LOW"
};

// The command line, or the message of a usage error (with Help empty), or Help set.
struct TParsed {
    std::optional<TCommandLine> Line;
    std::string Error;
    bool Help = false;
};

TParsed Parse(const std::vector<std::string>& args);

// The text of --help.
std::string Rq7CliHelp();

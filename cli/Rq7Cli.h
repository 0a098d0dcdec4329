#pragma once
// rq7cli: the adapter from a command line. RunRq7Cli is the whole program but for its console; main()
// gives it the process's streams, the system's serial devices and the steady clock.

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/CliExit.h"
#include "coef/CoefBlock.h"
#include "link/ComPort.h"
#include "link/ConsoleControl.h"
#include "link/ModbusUnit.h"

class TStopEvent;

struct TCliContext {
    TCliContext(std::istream& in, std::ostream& out, std::ostream& err, TMessageClock& clock)
        : In(in), Out(out), Err(err), Clock(clock) {}

    std::istream& In;
    std::ostream& Out;
    std::ostream& Err;
    // The clock of every wait.
    TMessageClock& Clock;
    // Passwords are read without echo from a terminal, one a line from In otherwise. On a terminal the
    // prompt goes to the terminal itself (WritePrompt), so a redirected standard error cannot hide it.
    bool InputIsTerminal = false;
    std::function<std::string()> ReadHiddenLine;
    std::function<void(const std::string&)> WritePrompt;
    // Writes the coefficient file's own bytes to standard output, never translated (empty: into Out).
    // False when they could not be written.
    std::function<bool(const std::string&)> WriteOutputBytes;
    // The port when --port is not given (the program takes it from RQ7_PORT); empty: COM1, as the windows.
    std::string DefaultPort;
    // Set once a command has sent a write request to the adapter: from then on the command's own exit
    // code stands, even when its output fails.
    bool AdapterWritten = false;
    // How the port opens its device (empty: the system's serial devices) and where ports are listed.
    TSerialDeviceOpener Opener;
    TSystemRoots Roots;
    // The clock that stamps a written block.
    std::function<TLocalTime()> LocalNow = CurrentLocalTime;
    // The journal of limits writes (empty: the user's data folder's, TWriteJournal::DefaultPath()).
    std::string JournalPath;
    // The service record's file (empty: TRecordStore::DefaultPath(), which reads RQ7_HISTORY), and the
    // technician's name when --technician is not given (the program takes it from RQ7_TECHNICIAN).
    std::string HistoryPath;
    std::string Technician;
    // Connects Ctrl+C to the stop event while the port is open; nullptr disconnects.
    std::function<void(TStopEvent*)> ConnectStop = SetConsoleStopEvent;
};

// args[0] is the program's name; the rest are its arguments (UTF-8). Returns the exit code.
int RunRq7Cli(const std::vector<std::string>& args, TCliContext& context);

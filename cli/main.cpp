// rq7cli: the adapter from a command line. The program is RunRq7Cli; here it gets the process's console,
// the system's serial devices and the steady clock.

#include <QCoreApplication>
#include <QStringList>
#include <clocale>
#include <cstdlib>
#include <iostream>

#include "cli/Console.h"
#include "cli/Rq7Cli.h"
#include "link/ConsoleControl.h"

int main(int argc, char** argv) {
    // Qt gives the arguments in Unicode on every system (on Windows not only those of the ANSI code page).
    const QCoreApplication application(argc, argv);
    PrepareConsoleOutput();
    // SIGTERM, SIGHUP and a closed output stop a command as Ctrl+C does, so a block under way is finished
    // and the port gets its settings back; with no command under way they end the program as usual.
    CatchTerminationSignals();
    std::vector<std::string> args;
    for (const QString& arg : QCoreApplication::arguments()) {
        args.push_back(arg.toStdString());
    }
    // Qt has set the program's locale from the environment; numbers a script reads are written with a
    // point whatever it is.
    std::setlocale(LC_NUMERIC, "C");
    TCliContext context{std::cin, std::cout, std::cerr, SteadyMessageClock()};
    context.InputIsTerminal = StandardInputIsTerminal();
    context.ReadHiddenLine = ReadHiddenLine;
    context.WritePrompt = WriteToTerminal;
    context.WriteOutputBytes = WriteOutputBytes;
    if (const char* port = std::getenv("RQ7_PORT")) {
        context.DefaultPort = port;
    }
    return RunRq7Cli(args, context);
}

// rq7cli: the adapter from a command line. The program is RunRq7Cli; here it gets the process's console,
// the system's serial devices and the steady clock.

#include <QCoreApplication>
#include <QGuiApplication>
#include <QStringList>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "cli/Console.h"
#include "cli/Rq7Cli.h"
#include "link/ConsoleControl.h"

namespace {
// Every line rq7cli puts on standard error begins with "rq7cli: ", so a script can rely on it: Qt's own
// notes (such as QStandardPaths' about XDG_RUNTIME_DIR when `report` starts Qt's GUI half) are dropped,
// its errors kept under that prefix.
void QtMessages(QtMsgType type, const QMessageLogContext& /*context*/, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::cerr << "rq7cli: Qt: " << message.toStdString() << std::endl;
    }
}
} // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(QtMessages);
    // Qt gives the arguments in Unicode on every system (on Windows not only those of the ANSI code page).
    // The PDF protocol of `report` is laid out with fonts, which takes the GUI half of Qt (offscreen on
    // Linux: no display is needed); every other command needs only the core.
    bool report = false;
    for (int i = 1; i < argc; ++i) {
        report = report || std::strcmp(argv[i], "report") == 0;
    }
#ifndef _WIN32
    if (report && std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
#endif
    const std::unique_ptr<QCoreApplication> application =
        report ? std::make_unique<QGuiApplication>(argc, argv)
               : std::make_unique<QCoreApplication>(argc, argv);
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
    if (const char* technician = std::getenv("RQ7_TECHNICIAN")) {
        context.Technician = technician;
    }
    return RunRq7Cli(args, context);
}

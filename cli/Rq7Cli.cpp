#include "cli/Rq7Cli.h"

#include <ostream>

#include "cli/CliArguments.h"
#include "cli/CliCommands.h"
#include "coef/Errors.h"
#include "link/ComPort.h"

int RunRq7Cli(const std::vector<std::string>& args, TCliContext& context) {
    const TParsed parsed = Parse(args);
    if (parsed.Help) {
        context.Out << Rq7CliHelp();
        return kExitDone;
    }
    if (!parsed.Line) {
        context.Err << "rq7cli: " << parsed.Error << "\nrq7cli --help: команды и параметры\n";
        return kExitUsage;
    }
    try {
        return RunCommand(context, *parsed.Line);
    } catch (const EComPort& e) {
        // The device went away or refused a call in the middle of a command.
        context.Err << e.what() << '\n';
        return kExitPort;
    } catch (const ERq7Error& e) {
        context.Err << e.what() << '\n';
        return kExitBadData;
    } catch (const std::exception& e) {
        // Anything else the system refuses (the stop event, memory): the port has been closed and its
        // settings put back as the command unwound.
        context.Err << "rq7cli: " << e.what() << '\n';
        return kExitPort;
    }
}

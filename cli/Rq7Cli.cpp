#include "cli/Rq7Cli.h"

#include <ostream>

#include "cli/CliArguments.h"
#include "cli/CliCommandTable.h"
#include "cli/CliCommands.h"
#include "coef/Errors.h"
#include "link/ComPort.h"

namespace {
// Says a failed standard output; the exit code it gives when the adapter was not written to.
int OutputFailed(TCliContext& context, int code) {
    context.Err << "rq7cli: не удалось записать в стандартный вывод (диск полон или вывод закрыт)\n"
                << std::flush;
    return context.AdapterWritten ? code : kExitBadData;
}

int RunParsed(const TParsed& parsed, TCliContext& context) {
    if (!parsed.Line) {
        if (!parsed.Error.empty()) {
            context.Err << "rq7cli: " << parsed.Error << "\nrq7cli help: команды и параметры\n";
            return kExitUsage;
        }
        context.Out << parsed.Text;
        return kExitDone;
    }
    try {
        return parsed.Command->Run(context, *parsed.Line);
    } catch (const EComPort& e) {
        // The device went away or refused a call before any write request.
        context.Err << "rq7cli: " << e.what() << '\n';
        return kExitPort;
    } catch (const ERq7Error& e) {
        context.Err << "rq7cli: " << e.what() << '\n';
        return kExitBadData;
    } catch (const std::exception& e) {
        // Anything else the system refuses (the stop event, memory): the port has been closed and its
        // settings put back as the command unwound.
        context.Err << "rq7cli: " << e.what() << '\n';
        return kExitPort;
    }
}
} // namespace

int RunRq7Cli(const std::vector<std::string>& args, TCliContext& context) {
    const int code = RunParsed(Parse(args), context);
    // What a script reads must have reached it: a full disk or a closed pipe is no success.
    context.Out.flush();
    return context.Out.fail() ? OutputFailed(context, code) : code;
}

#include "cli/Rq7Cli.h"

#include <optional>
#include <ostream>

#include "cli/CliArguments.h"
#include "cli/CliCommandTable.h"
#include "cli/CliCommands.h"
#include "coef/Errors.h"
#include "link/ComPort.h"
#include "link/PortDetails.h"

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
        TCommandLine line = *parsed.Line;
        if (!parsed.Command->UsesPort) {
            return parsed.Command->Run(context, line);
        }
        // --port, else RQ7_PORT, else COM1 as the windows; a stable name or usb:SERIAL becomes the port it
        // names, before a password is asked or the port opened.
        const std::string given =
            !line.Port.empty() ? line.Port : (!context.DefaultPort.empty() ? context.DefaultPort : "COM1");
        std::string why;
        const std::optional<std::string> port = ResolvePortName(given, context.Roots, why);
        if (!port) {
            context.Err << "rq7cli: --port " << given << ": " << why << '\n';
            return kExitPort;
        }
        line.Port = *port;
        return parsed.Command->Run(context, line);
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

// Ctrl+C on Linux: SIGINT; for the command line also SIGTERM, SIGHUP and SIGPIPE.

#include "link/ConsoleControl.h"

#include <csignal>
#include <initializer_list>

namespace {
extern "C" void onConsoleControl(int /*signal*/) {
    SignalConsoleStopEvent(true);
}

// SIGTERM, SIGHUP, SIGPIPE: a stop while a command runs; otherwise what the signal does by default.
extern "C" void onTermination(int signal) {
    if (!SignalConsoleStopEvent(false)) {
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
}

void Catch(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}
} // namespace

void InstallConsoleControlHandler() {
    Catch(SIGINT, onConsoleControl);
}

void CatchTerminationSignals() {
    for (const int signal : {SIGTERM, SIGHUP, SIGPIPE}) {
        Catch(signal, onTermination);
    }
}

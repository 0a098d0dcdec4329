// Ctrl+C on Linux: SIGINT. Other signals keep their default action.

#include "link/ConsoleControl.h"

#include <csignal>

namespace {
extern "C" void onConsoleControl(int /*signal*/) {
    SignalConsoleStopEvent();
}
} // namespace

void InstallConsoleControlHandler() {
    struct sigaction action {};
    action.sa_handler = onConsoleControl;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

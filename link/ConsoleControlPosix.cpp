#include "link/ConsoleControl.h"

#include <atomic>
#include <csignal>

#include "link/StopEvent.h"

namespace {
// The one mutable global the platform forces: a signal handler can reach nothing else.
std::atomic<TStopEvent*> consoleStopEvent{nullptr};

extern "C" void onConsoleControl(int /*signal*/) {
    TStopEvent* stop = consoleStopEvent.load();
    if (stop != nullptr) {
        stop->Signal();
    }
}
} // namespace

void SetConsoleStopEvent(TStopEvent* stopEvent) {
    consoleStopEvent.store(stopEvent);
    struct sigaction action {};
    action.sa_handler = onConsoleControl;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

#include "link/ConsoleControl.h"

#include <atomic>
#include <windows.h>

#include "link/StopEvent.h"

namespace {
std::atomic<TStopEvent*> consoleStopEvent{nullptr};

BOOL WINAPI onConsoleControl(DWORD /*controlType*/) {
    TStopEvent* stop = consoleStopEvent.load();
    if (stop != nullptr) {
        stop->Signal();
    }
    return TRUE; // handled: the default action (ending the process) does not follow
}
} // namespace

void SetConsoleStopEvent(TStopEvent* stopEvent) {
    consoleStopEvent.store(stopEvent);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

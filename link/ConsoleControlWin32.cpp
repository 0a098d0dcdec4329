// Ctrl+C (and the console's other control events) on Windows: the system calls the handler on a
// thread of its own.

#include "link/ConsoleControl.h"

#include <windows.h>

namespace {
BOOL WINAPI onConsoleControl(DWORD /*controlType*/) {
    SignalConsoleStopEvent();
    return TRUE; // handled: the default action (ending the process) does not follow
}
} // namespace

void InstallConsoleControlHandler() {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

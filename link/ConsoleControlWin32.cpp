// Ctrl+C (and the console's other control events) on Windows: the system calls the handler on a
// thread of its own.

#include "link/ConsoleControl.h"

#include <windows.h>

namespace {
BOOL WINAPI onConsoleControl(DWORD controlType) {
    SignalConsoleStopEvent(controlType == CTRL_C_EVENT || controlType == CTRL_BREAK_EVENT);
    return TRUE; // handled: the default action (ending the process) does not follow
}
} // namespace

void CatchTerminationSignals() {}

void InstallConsoleControlHandler() {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

// Ctrl+C (and the console's other control events) on Windows: the system calls the handler on a
// thread of its own.

#include "link/ConsoleControl.h"

#include <windows.h>

namespace {
BOOL WINAPI onConsoleControl(DWORD controlType) {
    if (controlType == CTRL_C_EVENT || controlType == CTRL_BREAK_EVENT) {
        SignalConsoleStopEvent(true);
    } else {
        // The console's close (log-off and shutdown reach a program that loads user32 as window
        // messages, SessionEndWin32.h): the process ends when this returns, so a block goes first.
        StopAndFinishBlock();
    }
    return TRUE; // handled: the default action (ending the process at once) does not follow
}
} // namespace

void CatchTerminationSignals() {}

void InstallConsoleControlHandler() {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

// The waits on Windows: the thread sleeps in one wait for both the window messages and the clock's
// waitable timer, set for the wait's end, so the wait ends on a message or within a millisecond of its
// end (a Qt timer and Sleep would end on the system's 15.6 ms tick).

#include "ui/MessageClock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <windows.h>

void TQtMessageClock::WaitForMessages(TTime until) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    const auto left = until - Now();
    if (left <= TTime::duration::zero()) {
        return;
    }
    // Every message that wakes Qt's own event loop (posted events, timers, input, sockets) is a window
    // message to this thread; a message already in the queue ends the wait at once.
    if (HANDLE timer = static_cast<HANDLE>(timer_.Arm(until)); timer != nullptr) {
        MsgWaitForMultipleObjectsEx(1, &timer, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    } else {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(ms), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

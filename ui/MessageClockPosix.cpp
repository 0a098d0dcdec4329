// The waits on Linux: Qt's event loop sleeps until a message comes or until a precise Qt timer ends
// the wait for messages a millisecond early; the rest is slept on the monotonic clock.

#include "ui/MessageClock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <climits>

namespace {
// A Qt timer counts whole milliseconds and may fire up to a millisecond after its time: the message
// wait ends this much early, and the rest of the wait is slept.
constexpr std::chrono::milliseconds kTimerMargin{1};
} // namespace

void TQtMessageClock::WaitForMessages(TTime until) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    const auto left = until - Now();
    const auto timerMs = std::chrono::floor<std::chrono::milliseconds>(left - kTimerMargin).count();
    if (timerMs >= 1) {
        // The timer's event ends the wait for messages at the latest.
        QTimer wake;
        wake.setSingleShot(true);
        wake.setTimerType(Qt::PreciseTimer);
        wake.start(static_cast<int>(std::min<long long>(timerMs, INT_MAX)));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    } else if (left > TTime::duration::zero()) {
        timer_.SleepUntil(until);
    }
}

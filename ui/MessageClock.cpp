#include "ui/MessageClock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <thread>
#ifdef __linux__
#include <cerrno>
#include <sys/prctl.h>
#include <time.h>
#endif

namespace {
// A Qt timer counts whole milliseconds and may fire up to a millisecond after its time: the message
// wait ends this much early, and the rest of the wait is slept.
constexpr std::chrono::milliseconds kTimerMargin{1};

void SleepUntil(TMessageClock::TTime until) {
#ifdef __linux__
    // The steady clock is CLOCK_MONOTONIC here; a sleep to an absolute time ends closest to it.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
    const timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
#else
    std::this_thread::sleep_until(until);
#endif
}
} // namespace

TQtMessageClock::TQtMessageClock() {
#ifdef __linux__
    // The thread's sleeps end when they are due: by default the kernel lets each run up to 50 us long
    // to save wake-ups, and the waits of a sequence would add that up.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

TMessageClock::TTime TQtMessageClock::Now() {
    return std::chrono::steady_clock::now();
}

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
        SleepUntil(until);
    }
}

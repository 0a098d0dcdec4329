// The waits' timer on Linux: the steady clock is CLOCK_MONOTONIC, and a sleep to an absolute time on
// it ends closest to that time.

#include "link/WaitTimer.h"

#include <cerrno>
#include <sys/prctl.h>
#include <time.h>

TWaitTimer::TWaitTimer() : precision_(TTimerPrecision::Monotonic) {
    // The thread's sleeps end when they are due: by default the kernel lets each run up to 50 us long
    // to save wake-ups, and the waits of a sequence would add that up.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

TWaitTimer::~TWaitTimer() = default;

void TWaitTimer::SleepUntil(TTime until) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
    const timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

void* TWaitTimer::Arm(TTime) {
    return nullptr;
}

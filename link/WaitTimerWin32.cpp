// The waits' timer on Windows. Its default timer resolution is 15.6 ms: a Sleep or an ordinary timer
// ends on the next tick after its time. A waitable timer made with CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
// (Windows 10 version 1803 and later) ends within a fraction of a millisecond of its time whatever the
// system's resolution. Earlier versions refuse the flag; there the program asks for a resolution of
// 1 ms (timeBeginPeriod) once, for the rest of its run, and gives it back as it ends.

#include "link/WaitTimer.h"

#include <windows.h>
// <timeapi.h> needs <windows.h> first.
#include <timeapi.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

// The timer resolution at 1 ms from the first timer that needs it to the program's end.
class TOneMillisecondPeriod {
public:
    TOneMillisecondPeriod() : set_(timeBeginPeriod(1) == TIMERR_NOERROR) {}
    ~TOneMillisecondPeriod() {
        if (set_) {
            timeEndPeriod(1);
        }
    }
    TOneMillisecondPeriod(const TOneMillisecondPeriod&) = delete;
    TOneMillisecondPeriod& operator=(const TOneMillisecondPeriod&) = delete;
    bool Set() const { return set_; }

private:
    bool set_;
};

bool OneMillisecondPeriodForTheRun() {
    static const TOneMillisecondPeriod period;
    return period.Set();
}

// The time from now to until in the timer's 100 ns units, rounded up, at least one unit.
LONGLONG UnitsUntil(TWaitTimer::TTime until) {
    const auto left = until - std::chrono::steady_clock::now();
    const auto units =
        std::chrono::ceil<std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>>(left).count();
    return units < 1 ? 1 : units;
}

} // namespace

TWaitTimer::TWaitTimer() {
    handle_ =
        CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (handle_ != nullptr) {
        precision_ = TTimerPrecision::HighResolutionTimer;
        return;
    }
    handle_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    precision_ =
        OneMillisecondPeriodForTheRun() ? TTimerPrecision::OneMillisecondPeriod : TTimerPrecision::SystemTick;
}

TWaitTimer::~TWaitTimer() {
    if (handle_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(handle_));
    }
}

void* TWaitTimer::Arm(TTime until) {
    if (handle_ == nullptr) {
        return nullptr;
    }
    // A negative due time is relative to now. Setting the timer also clears a signal left from before.
    LARGE_INTEGER due;
    due.QuadPart = -UnitsUntil(until);
    if (!SetWaitableTimer(static_cast<HANDLE>(handle_), &due, 0, nullptr, nullptr, FALSE)) {
        return nullptr;
    }
    return handle_;
}

void TWaitTimer::SleepUntil(TTime until) {
    // The timer's clock and the steady clock may differ by a little: the sleep goes on until the steady
    // clock has reached until.
    while (std::chrono::steady_clock::now() < until) {
        if (HANDLE timer = static_cast<HANDLE>(Arm(until)); timer != nullptr) {
            WaitForSingleObject(timer, INFINITE);
        } else {
            const auto ms =
                std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            Sleep(static_cast<DWORD>(ms.count() > 0 ? ms.count() : 0));
        }
    }
}

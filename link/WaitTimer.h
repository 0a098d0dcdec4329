#pragma once
// What the program's waits sleep on, so that a wait ends within a millisecond of its end. On Linux an
// absolute sleep on the monotonic clock does that by itself. Windows counts its timers in ticks of
// 15.6 ms unless asked otherwise: there a high-resolution waitable timer (Windows 10 version 1803 and
// later) does it, and where the system refuses one the timer resolution is raised to 1 ms for the
// rest of the program's run.

#include <chrono>

enum class TTimerPrecision {
    Monotonic,            // Linux: an absolute sleep on the monotonic clock, with the least timer slack
    HighResolutionTimer,  // Windows 10 1803 and later: a high-resolution waitable timer
    OneMillisecondPeriod, // earlier Windows: a waitable timer, the timer resolution at 1 ms for the run
    SystemTick,           // neither could be had: waits end on the system's own tick
};

// The name of a precision, for the benchmarks' figures.
const char* TimerPrecisionText(TTimerPrecision precision);

// One timer, used by one thread at a time (the thread whose waits it runs).
class TWaitTimer {
public:
    using TTime = std::chrono::steady_clock::time_point;

    // Makes the timer; on Windows its precision is settled here, before the first wait.
    TWaitTimer();
    ~TWaitTimer();
    TWaitTimer(const TWaitTimer&) = delete;
    TWaitTimer& operator=(const TWaitTimer&) = delete;

    // How this timer's waits end.
    TTimerPrecision Precision() const { return precision_; }

    // Sleeps until the steady clock has reached until.
    void SleepUntil(TTime until);

    // Windows: sets the timer to become signalled at until and returns its handle, for a wait on it
    // together with other things (the window messages); nullptr when there is no timer to set, and
    // always on Linux, where nothing else waits on it.
    void* Arm(TTime until);

private:
#ifdef _WIN32
    void* handle_ = nullptr; // the waitable timer (a HANDLE)
#endif
    TTimerPrecision precision_ = TTimerPrecision::SystemTick;
};

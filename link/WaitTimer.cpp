#include "link/WaitTimer.h"

const char* TimerPrecisionText(TTimerPrecision precision) {
    switch (precision) {
    case TTimerPrecision::Monotonic:
        return "absolute sleeps on the monotonic clock";
    case TTimerPrecision::HighResolutionTimer:
        return "a high-resolution waitable timer";
    case TTimerPrecision::OneMillisecondPeriod:
        return "a waitable timer with the timer resolution at 1 ms";
    case TTimerPrecision::SystemTick:
        return "the system's tick";
    }
    return "?";
}

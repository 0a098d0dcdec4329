#pragma once
// A clock for the exchange's waits on which no real time passes: a wait moves the clock on to its end
// (or by Step at a time, when Step is set), after OnWait has seen how long it is.

#include <chrono>
#include <functional>

#include "link/ModbusUnit.h"

class TSteppedClock : public TMessageClock {
public:
    // Called at the start of every pass of a wait with the time left until its end.
    std::function<void(std::chrono::nanoseconds left)> OnWait;
    // Zero: a pass reaches the end of its wait. Otherwise a pass moves the clock on by at most this much.
    std::chrono::nanoseconds Step{0};
    // Passes made, that is the times the windows' messages would have been processed.
    int Passes = 0;

    TTime Now() override { return now_; }
    void WaitForMessages(TTime until) override {
        ++Passes;
        if (OnWait) {
            OnWait(until - now_);
        }
        if (until <= now_) {
            return;
        }
        now_ = (Step.count() > 0 && until - now_ > Step) ? now_ + Step : until;
    }
    void Advance(std::chrono::nanoseconds d) { now_ += d; }

private:
    TTime now_ = TTime{} + std::chrono::hours(1);
};

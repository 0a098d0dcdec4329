#pragma once
// The clock of the program's waits: the steady clock, with the windows' messages processed while a wait
// lasts, so a wait keeps the windows responsive, costs no processor time and ends within a millisecond
// of its end.

#include "link/ModbusUnit.h"
#include "link/WaitTimer.h"

class TQtMessageClock final : public TMessageClock {
public:
    // To be made on the thread whose waits it runs (the user-interface thread). Its timer, and so how
    // precisely its waits end, is settled here.
    TQtMessageClock();
    TTime Now() override;
    // Processes the pending messages, then sleeps until a message comes or until is reached, whichever
    // is first.
    void WaitForMessages(TTime until) override;
    // How the waits' ends are kept (a high-resolution timer, a 1 ms timer resolution, ...).
    TTimerPrecision Precision() const { return timer_.Precision(); }

private:
    TWaitTimer timer_;
};

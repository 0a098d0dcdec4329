#pragma once
// The clock of the program's waits: the steady clock, with the windows' messages processed while a wait
// lasts, so a wait keeps the windows responsive and costs no processor time.

#include "link/ModbusUnit.h"

class TQtMessageClock final : public TMessageClock {
public:
    // To be made on the thread whose waits it runs (the user-interface thread).
    TQtMessageClock();
    TTime Now() override;
    // Processes the pending messages, then sleeps until a message comes or until is near, whichever is
    // first; the last millisecond or two before until are slept precisely.
    void WaitForMessages(TTime until) override;
};

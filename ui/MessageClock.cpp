#include "ui/MessageClock.h"

TQtMessageClock::TQtMessageClock() = default;

TMessageClock::TTime TQtMessageClock::Now() {
    return std::chrono::steady_clock::now();
}

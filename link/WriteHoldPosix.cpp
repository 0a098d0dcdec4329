// Linux has no session end to refuse: a command stopped by SIGTERM or SIGHUP finishes its block anyway.

#include "link/WriteHold.h"

void WriteHoldChanged() noexcept {}

// The event the console control handler reaches, shared by both systems' handlers.
//
// A handler announces itself (in-flight count up) before it reads the pointer and withdraws after it
// has signalled. Whoever takes an event away swaps the pointer first and then waits for the count to
// fall to zero: a handler that read the old pointer is still counted, and one that starts later reads
// the new pointer. The wait cannot hang when the handler interrupts the waiting thread itself: the
// handler never waits, so it has finished before the interrupted wait goes on.

#include "link/ConsoleControl.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "link/StopEvent.h"
#include "link/WriteHold.h"

namespace {
// The one mutable global the platform forces: a signal handler can reach nothing else.
std::atomic<const TStopEvent*> connectedEvent{nullptr};
std::atomic<int> handlersInFlight{0};
static_assert(std::atomic<const TStopEvent*>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the handler may only use lock-free atomics");

void WaitForHandlersToLeave() noexcept {
    while (handlersInFlight.load() != 0) {
        std::this_thread::yield();
    }
}
} // namespace

bool SignalConsoleStopEvent(bool interrupt) noexcept {
    handlersInFlight.fetch_add(1);
    const TStopEvent* stop = connectedEvent.load();
    if (stop != nullptr) {
        if (interrupt) {
            stop->Interrupt();
        } else {
            stop->Signal();
        }
    }
    handlersInFlight.fetch_sub(1);
    return stop != nullptr;
}

void SetConsoleStopEvent(TStopEvent* stopEvent) {
    connectedEvent.exchange(stopEvent);
    WaitForHandlersToLeave();
    // Once: on Windows each registration would add the handler to the console's list again.
    static std::once_flag installed;
    std::call_once(installed, InstallConsoleControlHandler);
}

void ReleaseConsoleStopEvent(const TStopEvent* stopEvent) noexcept {
    const TStopEvent* expected = stopEvent;
    connectedEvent.compare_exchange_strong(expected, nullptr);
    WaitForHandlersToLeave();
}

void StopAndFinishBlock() noexcept {
    SignalConsoleStopEvent(false);
    TWriteHold::WaitUntilReleased(std::chrono::milliseconds(kBlockFinishLimitMs));
}

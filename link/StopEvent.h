#pragma once
// The stop event: a manual-reset, unnamed event that ends a wait for received characters. It starts
// not signalled; once signalled it stays so (nothing resets it). Signal() may be called from a
// signal handler or from another thread. Destroying it first takes it from the console control handler
// (ConsoleControl.h), so the handler never signals an event that is gone.

#include <atomic>

#ifdef _WIN32
using TStopEventHandle = void*; // a Win32 event object (HANDLE)
#else
using TStopEventHandle = int; // a descriptor that becomes readable when the event is signalled
#endif

class TStopEvent {
public:
    TStopEvent();
    ~TStopEvent();
    TStopEvent(const TStopEvent&) = delete;
    TStopEvent& operator=(const TStopEvent&) = delete;

    // Async-signal-safe: an eventfd (or pipe) write on Linux, SetEvent on Windows.
    void Signal() const noexcept;
    bool IsSignalled() const noexcept;
    // Ctrl+C: signals the event and counts it. A first one asks a command to stop where it safely can (a
    // block under way is finished); a second one asks it to abandon even that at once.
    void Interrupt() const noexcept {
        interrupts_.fetch_add(1);
        Signal();
    }
    int Interrupts() const noexcept { return interrupts_.load(); }
    // What a wait polls: on Linux a descriptor readable once signalled, on Windows the event handle.
    TStopEventHandle NativeHandle() const noexcept { return handle_; }

private:
    TStopEventHandle handle_;
    mutable std::atomic<int> interrupts_{0};
    static_assert(std::atomic<int>::is_always_lock_free, "a signal handler counts the interrupts");
};

#pragma once
// The console control handler: Ctrl+C in the terminal that started the program signals the stop
// event (ending a wait for received characters at once) instead of ending the process.
//
// The handler may run at any moment: on Windows on a thread of its own, on Linux as a signal handler
// that interrupts whichever thread the kernel picks (the user-interface thread included). It only
// ever reaches a live event: handing it another event, or destroying the event it has, first waits
// until no handler still holds the earlier one.

class TStopEvent;

// Makes the handler signal the given event (registering it the first time); nullptr disconnects it.
// When it returns, the handler no longer reaches the event it had before, so that event may be
// destroyed.
void SetConsoleStopEvent(TStopEvent* stopEvent);

// Disconnects the handler if it signals this event, and returns only when no handler still holds it.
// Every stop event calls it as it is destroyed.
void ReleaseConsoleStopEvent(const TStopEvent* stopEvent) noexcept;

// The platform's part (ConsoleControlPosix.cpp, ConsoleControlWin32.cpp): registers its handler, which
// calls SignalConsoleStopEvent (on Windows, for the console's close, StopAndFinishBlock). Called once.
void InstallConsoleControlHandler();
// The command line's program also stops, instead of ending at once, on SIGTERM, SIGHUP and SIGPIPE (a
// closed standard output or error) while an event is connected; with none connected they keep their
// default action. (On Windows the console's close, log-off and shutdown events reach the one handler.)
void CatchTerminationSignals();

// What the handler does: signals the connected event, if any; an interrupt (Ctrl+C, Ctrl+Break) is
// also counted on it (TStopEvent::Interrupt). False when no event was connected. Async-signal-safe and
// lock-free.
bool SignalConsoleStopEvent(bool interrupt = true) noexcept;

// The console is being closed (on Windows the process ends as soon as its handler returns; the system
// allows about 5 s, a block takes about 3): signals the connected event, as a stop and not an interrupt,
// and returns once no write's block is under way (TWriteHold), or after kBlockFinishLimit.
void StopAndFinishBlock() noexcept;
inline constexpr int kBlockFinishLimitMs = 10000;

#pragma once
// A write's block under way. From just before a write's first request to the end of its block the
// program holds back whatever would end it from outside: the end of the Windows session (shutdown,
// log-off, an update restart) is refused with kWriteHoldReason, and a console being closed waits for
// the block (ConsoleControl.h). The adapter is thus never left with a half-written block by the system.
// On Linux only the waiting is done; the signals already let a command finish its block.

#include <chrono>

// The reason Windows shows for the held session end.
inline constexpr const char* kWriteHoldReason = "Идёт запись коэффициентов в адаптер";

class TWriteHold {
public:
    TWriteHold();
    ~TWriteHold();
    TWriteHold(const TWriteHold&) = delete;
    TWriteHold& operator=(const TWriteHold&) = delete;

    // True while any hold is raised, on any thread. Lock-free: a console handler or a window
    // procedure asks it.
    static bool Raised() noexcept;
    // Waits until no hold is raised, at most the limit; true when none is.
    static bool WaitUntilReleased(std::chrono::milliseconds limit) noexcept;
};

// The platform's part (WriteHoldPosix.cpp, WriteHoldWin32.cpp): told when the first hold is raised and
// when the last is released (Windows: the windows that answer the session end are told).
void WriteHoldChanged() noexcept;

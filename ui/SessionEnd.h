#pragma once
// The end of the Windows session (shutdown, log-off, an update restart) while a write's block is under
// way: the main window refuses it (Qt itself would answer yes) and shows the system the reason
// (link/WriteHold.h). Nothing on Linux.

#include <memory>

class QWidget;

class TSessionEndGuard {
public:
    // The main window must have been shown (it has its native window).
    explicit TSessionEndGuard(QWidget& mainWindow);
    ~TSessionEndGuard();
    TSessionEndGuard(const TSessionEndGuard&) = delete;
    TSessionEndGuard& operator=(const TSessionEndGuard&) = delete;

private:
    class TFilter;
    std::unique_ptr<TFilter> filter_;
};

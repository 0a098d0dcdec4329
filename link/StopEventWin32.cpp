// The stop event on Windows: a manual-reset, unnamed event object, created not signalled.

#include "link/StopEvent.h"

#include <system_error>
#include <windows.h>

#include "link/ConsoleControl.h"

TStopEvent::TStopEvent() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (handle_ == nullptr) {
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateEvent");
    }
}

TStopEvent::~TStopEvent() {
    // The console control handler lets go of the event before its handle closes.
    ReleaseConsoleStopEvent(this);
    CloseHandle(static_cast<HANDLE>(handle_));
}

void TStopEvent::Signal() const noexcept {
    SetEvent(static_cast<HANDLE>(handle_));
}

bool TStopEvent::IsSignalled() const noexcept {
    return WaitForSingleObject(static_cast<HANDLE>(handle_), 0) == WAIT_OBJECT_0;
}

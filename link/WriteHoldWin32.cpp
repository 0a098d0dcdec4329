// The session end held on Windows: the attached windows refuse WM_QUERYENDSESSION while a write's
// block is under way and give the system the reason it shows the user.

#include <atomic>
#include <mutex>
#include <vector>

#include "coef/WideText.h"
#include "link/ConsoleControl.h"
#include "link/SessionEndWin32.h"
#include "link/WriteHold.h"

namespace {
// The attached windows; a hold raised or released on any thread posts them the hold's message.
std::mutex windowsMutex;
std::vector<HWND> attachedWindows;

// The hold's own message, registered as the first window is attached (0 until then: no window to tell).
std::atomic<UINT> holdMessage{0};

UINT HoldMessage() {
    return holdMessage.load();
}

// Gives the window the reason the system shows while a hold is raised, or takes it away.
void ShowHoldReason(HWND window) {
    if (TWriteHold::Raised()) {
        ShutdownBlockReasonCreate(window, Widen(kWriteHoldReason).c_str());
    } else {
        ShutdownBlockReasonDestroy(window);
    }
}

// Only the window's own thread may set its reason: on that thread (rq7's windows, whose thread runs the
// write) at once; another thread's window (rq7cli's) is posted the hold's message.
void TellWindow(HWND window) {
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
        ShowHoldReason(window);
    } else {
        PostMessageW(window, HoldMessage(), 0, 0);
    }
}

LRESULT CALLBACK SessionEndProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (AnswerSessionEnd(window, message, &result)) {
        return result;
    }
    if (message == WM_ENDSESSION && wParam != FALSE) {
        // The session ends anyway, and the process with it once this returns: the block goes first.
        StopAndFinishBlock();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

DWORD WINAPI SessionEndThread(LPVOID /*unused*/) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = SessionEndProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kSessionEndWindowClass;
    if (RegisterClassW(&windowClass) == 0) {
        return 1;
    }
    // Top-level (a message-only window is not asked about the session end), and never shown.
    const HWND window = CreateWindowExW(0, kSessionEndWindowClass, L"rq7cli", WS_OVERLAPPED, 0, 0, 0, 0,
                                        nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    AttachSessionEndWindow(window);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageW(&msg);
    }
    return 0;
}
} // namespace

void WriteHoldChanged() noexcept {
    const std::lock_guard lock(windowsMutex);
    for (const HWND window : attachedWindows) {
        TellWindow(window);
    }
}

void AttachSessionEndWindow(HWND window) {
    const std::lock_guard lock(windowsMutex);
    if (holdMessage.load() == 0) {
        holdMessage.store(RegisterWindowMessageW(L"rq7 write hold changed"));
    }
    attachedWindows.push_back(window);
    if (TWriteHold::Raised()) {
        TellWindow(window); // raised before the window was there
    }
}

void DetachSessionEndWindow(HWND window) {
    const std::lock_guard lock(windowsMutex);
    std::erase(attachedWindows, window);
}

bool AnswerSessionEnd(HWND window, UINT message, LRESULT* result) {
    if (message == WM_QUERYENDSESSION) {
        if (!TWriteHold::Raised()) {
            return false; // the window's usual answer
        }
        *result = FALSE;
        return true;
    }
    if (message == HoldMessage() && message != 0) {
        ShowHoldReason(window);
        *result = 0;
        return true;
    }
    return false;
}

void StartSessionEndWindow() {
    const HANDLE thread = CreateThread(nullptr, 0, SessionEndThread, nullptr, 0, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
}

#pragma once
// The end of the Windows session (shutdown, log-off, an update restart) while a write's block is under
// way (WriteHold.h): the windows through which the program answers it.

#include <windows.h>

// The class of rq7cli's hidden window (StartSessionEndWindow).
inline constexpr const wchar_t* kSessionEndWindowClass = L"rq7cli session end";

// A window, owned by the calling thread, whose messages pass through AnswerSessionEnd: it is told when
// the hold is raised or released (at once when the hold is raised on its own thread, else by the
// hold's posted message). Detach it before it is destroyed.
void AttachSessionEndWindow(HWND window);
void DetachSessionEndWindow(HWND window);

// For a window procedure or a native event filter. WM_QUERYENDSESSION is answered FALSE while a hold is
// raised; the hold's posted message gives the window the reason the system shows, or takes it away
// (only the window's own thread may). True when the message was one of these, with the answer in
// *result.
bool AnswerSessionEnd(HWND window, UINT message, LRESULT* result);

// rq7cli: a hidden top-level window on a thread of its own, for the life of the process. A console
// program that loads user32 (Qt Core does) meets the session end only through a window; its console
// handler is not called for it. When the session ends all the same (the user chose to end it), the
// window stops the command and waits for its block, as the console handler does on the console's close.
void StartSessionEndWindow();

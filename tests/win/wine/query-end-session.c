/* Asks a program's window, as Windows does at shutdown, whether the session may end
 * (WM_QUERYENDSESSION), again and again until it has refused and then allowed it.
 *
 *   query-end-session.exe --class NAME | --title TITLE  SECONDS
 *
 * Waits for the top-level window of that class (or title) to appear, then asks it every 20 ms, each
 * question followed by WM_ENDSESSION with FALSE (the session end called off, as Windows does when a
 * program refused it). Prints
 * "refused" the first time it answers FALSE and "allowed" the first time it answers TRUE after that.
 * Exits 0 when it refused and then allowed; 1 when the window went, or SECONDS passed, before both;
 * 2 on a wrong command line. The answers are all it looks at: the window's program is not changed. */
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>
#include <wchar.h>

int main(void) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == NULL || argc != 4 || (wcscmp(argv[1], L"--class") != 0 && wcscmp(argv[1], L"--title") != 0)) {
        fputs("usage: query-end-session.exe --class NAME | --title TITLE  SECONDS\n", stderr);
        return 2;
    }
    const int byClass = wcscmp(argv[1], L"--class") == 0;
    const ULONGLONG end = GetTickCount64() + 1000ULL * (ULONGLONG)_wtoi(argv[3]);
    int refused = 0;
    int seenWindow = 0;
    while (GetTickCount64() < end) {
        HWND window = byClass ? FindWindowW(argv[2], NULL) : FindWindowW(NULL, argv[2]);
        if (window == NULL) {
            if (seenWindow) {
                break; /* the program has ended */
            }
            Sleep(20);
            continue;
        }
        seenWindow = 1;
        DWORD_PTR answer = 1;
        const LRESULT asked = SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer);
        /* The session end is then called off, as Windows does when a program refused it (Qt takes no input
         * between the question and this answer). */
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(window, WM_ENDSESSION, FALSE, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
        if (asked != 0) {
            if (answer == FALSE && !refused) {
                refused = 1;
                puts("refused");
                fflush(stdout);
            } else if (answer != FALSE && refused) {
                puts("allowed");
                return 0;
            }
        }
        Sleep(20);
    }
    if (!seenWindow) {
        puts("no window");
    } else if (GetTickCount64() >= end) {
        puts(refused ? "still refused when the time was up" : "never refused before the time was up");
    } else {
        puts("the window went before it had refused and then allowed");
    }
    return 1;
}

// rq7cli's console on Windows: what counts as a terminal (a console, Git Bash's pipe; not NUL or another
// pipe), where a prompt goes under Git Bash, and the console's mode after Ctrl+C at the password prompt.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <windows.h>

#include "cli/Console.h"
#include "support/WinTestSupport.h"

namespace {

// A named pipe's two ends; inbound: the client writes, the server reads.
struct TPipe {
    TPipe(const std::wstring& name, bool inbound) {
        const std::wstring path = L"\\\\.\\pipe\\" + name;
        Server = CreateNamedPipeW(path.c_str(), inbound ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND,
                                  PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
        Client = CreateFileW(path.c_str(), inbound ? GENERIC_WRITE : GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
        EXPECT_NE(Client, INVALID_HANDLE_VALUE) << Narrow(name);
    }
    ~TPipe() {
        CloseHandle(Server);
        CloseHandle(Client);
    }
    TPipe(const TPipe&) = delete;
    TPipe& operator=(const TPipe&) = delete;
    HANDLE Server;
    HANDLE Client;
};

TEST(WinConsole, OnlyAConsoleOrGitBashsTerminalIsATerminalAndGitBashGetsThePrompt) {
    const HANDLE oldInput = GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE oldError = GetStdHandle(STD_ERROR_HANDLE);
    const HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    const TPipe plain(L"rq7-test-plain-pipe", false);
    const TPipe mintty(L"msys-1888ae32e00d56aa-pty0-from-master", false);
    const TPipe minttyOutput(L"msys-1888ae32e00d56aa-pty0-to-master", true);
    const struct {
        const char* what;
        HANDLE input;
        bool terminal;
    } cases[] = {
        {"NUL (_isatty says it is one)", nul, false},
        {"a plain pipe", plain.Client, false},
        {"Git Bash's terminal", mintty.Client, true},
    };
    for (const auto& c : cases) {
        SetStdHandle(STD_INPUT_HANDLE, c.input);
        EXPECT_EQ(StandardInputIsTerminal(), c.terminal) << c.what;
    }
    // Under Git Bash the prompt goes to its terminal, the pipe standard error leads to, as UTF-8.
    SetStdHandle(STD_ERROR_HANDLE, minttyOutput.Client);
    const std::string prompt = "Введите пароль: ";
    WriteToTerminal(prompt);
    std::string got(prompt.size(), '\0');
    DWORD read = 0;
    ReadFile(minttyOutput.Server, got.data(), static_cast<DWORD>(got.size()), &read, nullptr);
    EXPECT_EQ(got.substr(0, read), prompt);
    SetStdHandle(STD_INPUT_HANDLE, oldInput);
    SetStdHandle(STD_ERROR_HANDLE, oldError);
    CloseHandle(nul);
}

// The console's mode when the test's own handler saw Ctrl+C: the prompt's handler, registered later,
// runs before it.
std::atomic<DWORD> modeAtCtrlC{0};
std::atomic<bool> ctrlCSeen{false};
BOOL WINAPI TestHandler(DWORD type) {
    DWORD mode = 0;
    GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode);
    modeAtCtrlC.store(mode);
    ctrlCSeen.store(type == CTRL_C_EVENT);
    return TRUE; // the process goes on, as with a stop event connected
}

// Waits until the condition holds, up to 30 s (only so that a broken console cannot hang the test).
template <typename TCondition> bool WaitFor(TCondition condition) {
    for (int i = 0; i < 3000 && !condition(); ++i) {
        Sleep(10);
    }
    return condition();
}

TEST(WinConsole, CtrlCAtThePasswordPromptGivesTheConsoleItsEchoBack) {
    const HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD found = 0;
    if (GetConsoleMode(input, &found) == 0) {
        GTEST_SKIP() << "this process has no console (Wine gives one only on a terminal)";
    }
    const HANDLE oldInput = GetStdHandle(STD_INPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, input);
    const DWORD typing = ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT;
    SetConsoleMode(input, typing);
    SetConsoleCtrlHandler(TestHandler, TRUE);
    std::thread prompt([] { ReadHiddenLine(); });
    DWORD mode = typing;
    const bool hidden =
        WaitFor([&] { return GetConsoleMode(input, &mode) != 0 && (mode & ENABLE_ECHO_INPUT) == 0; });
    const bool seen =
        hidden && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0 && WaitFor([] { return ctrlCSeen.load(); });
    INPUT_RECORD enter[2]{}; // ends the read, should it still wait
    for (int i = 0; i < 2; ++i) {
        enter[i].EventType = KEY_EVENT;
        enter[i].Event.KeyEvent = {i == 0 ? TRUE : FALSE, 1, VK_RETURN, 0, {L'\r'}, 0};
    }
    DWORD written = 0;
    WriteConsoleInputW(input, enter, 2, &written);
    prompt.join();
    SetConsoleCtrlHandler(TestHandler, FALSE);
    SetConsoleMode(input, found);
    SetStdHandle(STD_INPUT_HANDLE, oldInput);
    CloseHandle(input);
    ASSERT_TRUE(hidden) << "the prompt did not turn the echo off";
    ASSERT_TRUE(seen) << "Ctrl+C never reached the handlers";
    EXPECT_EQ(modeAtCtrlC.load(), typing) << "Ctrl+C left the console without its echo";
}

} // namespace

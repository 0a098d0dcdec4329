// rq7cli's console on Windows: what counts as a terminal (a console, Git Bash's pipe; not NUL, a file
// or another pipe), where a prompt goes under Git Bash, and the console's mode after Ctrl+C at the
// password prompt. Each case gives the process the standard handle it needs.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>
#include <windows.h>

#include "cli/Console.h"
#include "support/WinTestSupport.h"

namespace {

// Sets a standard handle for the life of the object, then puts the old one back.
class TStdHandle {
public:
    TStdHandle(DWORD which, HANDLE handle) : which_(which), old_(GetStdHandle(which)) {
        SetStdHandle(which, handle);
    }
    ~TStdHandle() { SetStdHandle(which_, old_); }
    TStdHandle(const TStdHandle&) = delete;
    TStdHandle& operator=(const TStdHandle&) = delete;

private:
    DWORD which_;
    HANDLE old_;
};

struct TPipe {
    HANDLE Server = INVALID_HANDLE_VALUE;
    HANDLE Client = INVALID_HANDLE_VALUE;
    ~TPipe() {
        CloseHandle(Server);
        CloseHandle(Client);
    }
};

// A named pipe (the name after \\.\pipe\); inbound: the client writes, the server reads.
void MakePipe(TPipe& pipe, const std::wstring& name, bool inbound) {
    const std::wstring path = L"\\\\.\\pipe\\" + name;
    pipe.Server = CreateNamedPipeW(path.c_str(), inbound ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND,
                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(pipe.Server, INVALID_HANDLE_VALUE) << Narrow(name);
    pipe.Client = CreateFileW(path.c_str(), inbound ? GENERIC_WRITE : GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(pipe.Client, INVALID_HANDLE_VALUE) << Narrow(name);
}

TEST(WinConsole, OnlyAConsoleOrGitBashsTerminalIsATerminal) {
    const HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(nul, INVALID_HANDLE_VALUE);
    TPipe mintty;
    MakePipe(mintty, L"msys-1888ae32e00d56aa-pty0-from-master", false);
    TPipe other;
    MakePipe(other, L"rq7-test-plain-pipe", false);
    const struct {
        const char* what;
        HANDLE input;
        bool terminal;
    } cases[] = {
        {"NUL (_isatty says it is one)", nul, false},
        {"a plain pipe", other.Client, false},
        {"Git Bash's terminal", mintty.Client, true},
    };
    for (const auto& c : cases) {
        const TStdHandle input(STD_INPUT_HANDLE, c.input);
        EXPECT_EQ(StandardInputIsTerminal(), c.terminal) << c.what;
    }
    CloseHandle(nul);
}

TEST(WinConsole, UnderGitBashThePromptGoesToItsTerminal) {
    TPipe input;
    MakePipe(input, L"msys-00ff00ff00ff00ff-pty3-from-master", false);
    TPipe terminal;
    MakePipe(terminal, L"msys-00ff00ff00ff00ff-pty3-to-master", true);
    const TStdHandle in(STD_INPUT_HANDLE, input.Client);
    const TStdHandle err(STD_ERROR_HANDLE, terminal.Client);
    const std::string prompt = "Введите пароль: ";
    WriteToTerminal(prompt);
    std::string got(prompt.size(), '\0');
    DWORD read = 0;
    ASSERT_NE(ReadFile(terminal.Server, got.data(), static_cast<DWORD>(got.size()), &read, nullptr), 0);
    got.resize(read);
    EXPECT_EQ(got, prompt) << "the prompt reaches Git Bash's terminal as UTF-8";
}

// The mode the console had when the test's own handler saw Ctrl+C: the prompt's handler, registered
// later, runs before it.
std::atomic<DWORD> modeAtCtrlC{0};
std::atomic<bool> ctrlCSeen{false};
BOOL WINAPI TestHandler(DWORD type) {
    if (type != CTRL_C_EVENT) {
        return FALSE;
    }
    DWORD mode = 0;
    GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode);
    modeAtCtrlC.store(mode);
    ctrlCSeen.store(true);
    return TRUE; // the process goes on, as with a stop event connected
}

// Waits until the condition holds, up to 30 s.
template <typename TCondition> bool WaitFor(TCondition condition) {
    for (int i = 0; i < 3000; ++i) {
        if (condition()) {
            return true;
        }
        Sleep(10);
    }
    return condition();
}

void TypeKey(HANDLE input, wchar_t ch, WORD key, DWORD control) {
    INPUT_RECORD records[2]{};
    for (int i = 0; i < 2; ++i) {
        records[i].EventType = KEY_EVENT;
        records[i].Event.KeyEvent.bKeyDown = i == 0 ? TRUE : FALSE;
        records[i].Event.KeyEvent.wRepeatCount = 1;
        records[i].Event.KeyEvent.wVirtualKeyCode = key;
        records[i].Event.KeyEvent.uChar.UnicodeChar = ch;
        records[i].Event.KeyEvent.dwControlKeyState = control;
    }
    DWORD written = 0;
    WriteConsoleInputW(input, records, 2, &written);
}

TEST(WinConsole, CtrlCAtThePasswordPromptGivesTheConsoleItsEchoBack) {
    const HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD found = 0;
    if (input == INVALID_HANDLE_VALUE || GetConsoleMode(input, &found) == 0) {
        GTEST_SKIP() << "this process has no console (Wine gives one only on a terminal)";
    }
    const TStdHandle in(STD_INPUT_HANDLE, input);
    const DWORD typing = ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT;
    ASSERT_NE(SetConsoleMode(input, typing), 0);
    ASSERT_NE(SetConsoleCtrlHandler(TestHandler, TRUE), 0);
    std::thread prompt([] { ReadHiddenLine(); });
    // Ctrl+C once the prompt has turned the echo off. (The bounds only keep a broken console from
    // hanging the test.)
    DWORD mode = typing;
    const bool hidden =
        WaitFor([&] { return GetConsoleMode(input, &mode) != 0 && (mode & ENABLE_ECHO_INPUT) == 0; });
    const bool generated = hidden && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
    const bool seen = generated && WaitFor([] { return ctrlCSeen.load(); });
    TypeKey(input, L'\r', VK_RETURN, 0); // ends the read, should it still wait
    prompt.join();
    ASSERT_TRUE(hidden) << "the prompt did not turn the echo off";
    ASSERT_TRUE(generated) << "GenerateConsoleCtrlEvent failed: " << GetLastError();
    ASSERT_TRUE(seen) << "Ctrl+C never reached the handlers";
    SetConsoleCtrlHandler(TestHandler, FALSE);
    EXPECT_NE(modeAtCtrlC.load() & ENABLE_ECHO_INPUT, 0U) << "Ctrl+C left the console without its echo";
    EXPECT_EQ(modeAtCtrlC.load(), typing);
    SetConsoleMode(input, found);
    CloseHandle(input);
}

} // namespace

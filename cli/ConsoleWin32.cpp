#include "cli/Console.h"

#include <atomic>
#include <cstdio>
#include <iostream>
#include <streambuf>
#include <utility>
#include <vector>
#include <windows.h>

#include "coef/WideText.h"
#include "link/SessionEndWin32.h"

namespace {
bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// Which end of Git Bash's terminal a handle is, by the name of its pipe.
TMinttyPipeEnd MinttyEndOf(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_PIPE) {
        return TMinttyPipeEnd::None;
    }
    // FILE_NAME_INFO: the name's length in bytes, then the name (without its terminating zero).
    std::vector<unsigned char> info(sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t));
    if (GetFileInformationByHandleEx(handle, FileNameInfo, info.data(), static_cast<DWORD>(info.size())) ==
        0) {
        return TMinttyPipeEnd::None;
    }
    const auto* name = reinterpret_cast<const FILE_NAME_INFO*>(info.data());
    return MinttyPipeEnd(Narrow(name->FileName, static_cast<int>(name->FileNameLength / sizeof(wchar_t))));
}

// Text for a console, in Unicode (WriteConsoleW), so that no code page needs changing. The UTF-8 the
// program writes is held until its characters are complete.
class TConsoleBuffer final : public std::streambuf {
public:
    explicit TConsoleBuffer(HANDLE console) : console_(console) { setp(buffer_, buffer_ + sizeof buffer_); }

protected:
    int_type overflow(int_type c) override {
        if (WritePending() != 0) {
            return traits_type::eof();
        }
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return WritePending(); }

private:
    // Writes the complete characters pending; an incomplete one at the end waits for its other bytes.
    int WritePending() {
        const auto size = static_cast<std::size_t>(pptr() - pbase());
        std::size_t complete = size;
        // Back over at most three continuation bytes to a lead byte whose character is not all there.
        for (std::size_t back = 1; back <= 4 && back <= size; ++back) {
            const auto byte = static_cast<unsigned char>(buffer_[size - back]);
            if ((byte & 0xC0) == 0x80) {
                continue;
            }
            const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            if (length > back) {
                complete = size - back;
            }
            break;
        }
        int result = 0;
        if (complete > 0) {
            const std::wstring wide = Widen(std::string(buffer_, complete));
            DWORD written = 0;
            if (WriteConsoleW(console_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) ==
                0) {
                result = -1;
            }
        }
        std::copy(buffer_ + complete, buffer_ + size, buffer_);
        setp(buffer_, buffer_ + sizeof buffer_);
        pbump(static_cast<int>(size - complete));
        return result;
    }

    HANDLE console_;
    char buffer_[1024]{};
};

// The console's mode while a password is typed, for the control handler to put back on Ctrl+C.
std::atomic<HANDLE> hiddenInput{nullptr};
std::atomic<DWORD> savedInputMode{0};

BOOL WINAPI RestoreInputMode(DWORD /*controlType*/) {
    if (const HANDLE input = hiddenInput.load(); input != nullptr) {
        SetConsoleMode(input, savedInputMode.load());
    }
    return FALSE; // the other handlers, or the default action, follow
}

// Reads a line from the console in Unicode; nothing when the console does not give one.
bool ReadConsoleLine(HANDLE input, std::string& line) {
    std::wstring wide;
    wchar_t chunk[256];
    for (;;) {
        DWORD got = 0;
        if (ReadConsoleW(input, chunk, static_cast<DWORD>(std::size(chunk)), &got, nullptr) == 0) {
            return false;
        }
        if (got == 0) {
            break; // Ctrl+C, or the end of input
        }
        wide.append(chunk, got);
        if (wide.back() == L'\n') {
            break;
        }
    }
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r')) {
        wide.pop_back();
    }
    line = Narrow(wide);
    return true;
}
} // namespace

bool StandardInputIsTerminal() {
    // _isatty is true for NUL and the COM devices too: only a console, or Git Bash's terminal, is one.
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    return IsConsole(input) || MinttyEndOf(input) == TMinttyPipeEnd::Input;
}

void PrepareConsoleOutput() {
    // The console's code pages stay as the user had them: text reaches a console in Unicode. A file or
    // pipe gets the program's UTF-8 as it is.
    // The buffers are never destroyed: the streams are flushed once more as the process ends.
    for (const auto& [which, stream] :
         {std::pair{STD_OUTPUT_HANDLE, &std::cout}, std::pair{STD_ERROR_HANDLE, &std::cerr}}) {
        if (const HANDLE handle = GetStdHandle(which); IsConsole(handle)) {
            stream->rdbuf(new TConsoleBuffer(handle)); // NOLINT(cppcoreguidelines-owning-memory)
        }
    }
    // Shutdown and log-off reach this program as window messages, during a write to be refused.
    StartSessionEndWindow();
}

bool WriteOutputBytes(const std::string& bytes) {
    std::cout.flush();
    std::fflush(stdout);
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (WriteFile(output, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                      nullptr) == 0 ||
            written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

void WriteToTerminal(const std::string& text) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!IsConsole(input) && MinttyEndOf(input) == TMinttyPipeEnd::Input) {
        // Git Bash: its terminal is the pipe that standard error (or output) leads to; its console is
        // hidden.
        for (const DWORD which : {STD_ERROR_HANDLE, STD_OUTPUT_HANDLE}) {
            const HANDLE output = GetStdHandle(which);
            if (MinttyEndOf(output) == TMinttyPipeEnd::Output) {
                std::cerr.flush();
                DWORD written = 0;
                WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
                return;
            }
        }
        std::cerr << text << std::flush;
        return;
    }
    const HANDLE console =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) {
        std::cerr << text << std::flush;
        return;
    }
    const std::wstring wide = Widen(text);
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    CloseHandle(console);
}

std::string ReadHiddenLine() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    std::string line;
    if (GetConsoleMode(input, &mode) == 0) {
        // A file, a pipe, or Git Bash's terminal (which echoes what is typed).
        std::getline(std::cin, line);
        return line;
    }
    savedInputMode.store(mode);
    hiddenInput.store(input);
    // Ctrl+C ends the program by default: the console gets its echo back first.
    SetConsoleCtrlHandler(RestoreInputMode, TRUE);
    SetConsoleMode(input, (mode | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) &
                              ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    if (!ReadConsoleLine(input, line)) {
        std::getline(std::cin, line);
    }
    SetConsoleMode(input, mode);
    SetConsoleCtrlHandler(RestoreInputMode, FALSE);
    hiddenInput.store(nullptr);
    WriteToTerminal("\n"); // the Enter typed was not echoed either
    return line;
}

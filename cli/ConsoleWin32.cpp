#include "cli/Console.h"

#include <io.h>
#include <iostream>
#include <stdio.h>
#include <windows.h>

#include "coef/WideText.h"

bool StandardInputIsTerminal() {
    return ::_isatty(::_fileno(stdin)) != 0;
}

void PrepareConsoleOutput() {
    // The program writes UTF-8; cmd.exe and PowerShell show it as such once the console is told so.
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
}

void WriteToTerminal(const std::string& text) {
    const HANDLE console =
        ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) {
        std::cerr << text << std::flush;
        return;
    }
    const std::wstring wide = Widen(text);
    DWORD written = 0;
    ::WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    ::CloseHandle(console);
}

std::string ReadHiddenLine() {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool console = ::GetConsoleMode(input, &mode) != 0;
    if (console) {
        ::SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    }
    std::string line;
    std::getline(std::cin, line);
    if (console) {
        ::SetConsoleMode(input, mode);
        std::cerr << std::endl; // the Enter typed was not echoed either
    }
    return line;
}

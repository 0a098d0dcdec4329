#include "cli/Console.h"

#include <io.h>
#include <iostream>
#include <stdio.h>
#include <windows.h>

bool StandardInputIsTerminal() {
    return ::_isatty(::_fileno(stdin)) != 0;
}

void PrepareConsoleOutput() {
    // The program writes UTF-8; cmd.exe and PowerShell show it as such once the console is told so.
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
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

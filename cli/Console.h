#pragma once
// The console of rq7cli: the platform side (ConsolePosix.cpp, ConsoleWin32.cpp).

#include <string>

// True when standard input is a terminal (a console on Windows).
bool StandardInputIsTerminal();
// Prepares the console for the program's UTF-8 output (Windows: the console's output code page).
void PrepareConsoleOutput();
// Writes a prompt to the terminal itself (/dev/tty; the console, CONOUT$, on Windows), so that standard
// error sent to a file cannot hide it; to standard error where there is no terminal.
void WriteToTerminal(const std::string& text);
// Reads one line from the terminal on standard input without echoing it, and ends the line on the
// terminal. Empty at the end of input.
std::string ReadHiddenLine();

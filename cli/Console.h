#pragma once
// The console of rq7cli: the platform side (ConsolePosix.cpp, ConsoleWin32.cpp).

#include <string>

// True when standard input is a terminal: on Windows a console, or the terminal of Git Bash (mintty),
// whose standard input is a pipe of its own (MinttyPipeEnd).
bool StandardInputIsTerminal();
// Prepares the standard output and error (Windows: text to a console goes as Unicode, whatever its code
// page; to a file or pipe as UTF-8 bytes; the console's code pages are left as they were). Starts what
// answers the end of the Windows session during a write.
void PrepareConsoleOutput();
// Writes bytes to standard output as they are, never translated (the coefficient file's own bytes).
// False when they could not be written.
bool WriteOutputBytes(const std::string& bytes);
// Writes a prompt to the terminal itself (/dev/tty; the console, CONOUT$, on Windows), so that standard
// error sent to a file cannot hide it; to standard error where there is no terminal.
void WriteToTerminal(const std::string& text);
// Reads one line from the terminal on standard input without echoing it, and ends the line on the
// terminal. Empty at the end of input. Ctrl+C while it is typed leaves the terminal as it was found.
// (Git Bash's terminal cannot be kept from echoing: there the line is seen as it is typed.)
std::string ReadHiddenLine();

// The end of a Cygwin or MSYS pseudo-terminal (Git Bash's mintty) that a named pipe is, by its name
// ("\msys-1888ae32e00d56aa-pty0-from-master"): what the program reads from the terminal, or what it
// writes to it.
enum class TMinttyPipeEnd { None, Input, Output };
TMinttyPipeEnd MinttyPipeEnd(const std::string& pipeName);

#include "cli/Console.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace {
// The terminal's settings while a password is typed with its echo off, for the interrupt handler to
// put back: Ctrl+C must not leave the terminal without echo.
termios savedTerminal{};
struct sigaction savedInterrupt {};

extern "C" void onInterruptWhileHidden(int signal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    ::sigaction(signal, &savedInterrupt, nullptr);
    ::raise(signal);
}
} // namespace

bool StandardInputIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

void PrepareConsoleOutput() {}

bool WriteOutputBytes(const std::string& bytes) {
    std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return !std::cout.fail();
}

void WriteToTerminal(const std::string& text) {
    const int terminal = ::open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) {
        std::cerr << text << std::flush;
        return;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(terminal, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(terminal);
}

std::string ReadHiddenLine() {
    std::string line;
    if (::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
        std::getline(std::cin, line);
        return line;
    }
    struct sigaction action {};
    action.sa_handler = onInterruptWhileHidden;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &savedInterrupt);
    termios hidden = savedTerminal;
    hidden.c_lflag &= static_cast<tcflag_t>(~ECHO);
    hidden.c_lflag |= ECHONL;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    std::getline(std::cin, line);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    ::sigaction(SIGINT, &savedInterrupt, nullptr);
    return line;
}

// The stop event on Linux: an eventfd whose counter is raised once signalled and never read, so the
// descriptor stays readable for every later poll.

#include "link/StopEvent.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

#include "link/ConsoleControl.h"

TStopEvent::TStopEvent() : handle_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (handle_ < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

TStopEvent::~TStopEvent() {
    // The console control handler lets go of the event before its descriptor closes.
    ReleaseConsoleStopEvent(this);
    close(handle_);
}

void TStopEvent::Signal() const noexcept {
    // write(2) is async-signal-safe; errno is kept for the interrupted code.
    const int savedErrno = errno;
    const std::uint64_t one = 1;
    ssize_t written;
    do {
        written = write(handle_, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
    errno = savedErrno;
}

bool TStopEvent::IsSignalled() const noexcept {
    pollfd p{handle_, POLLIN, 0};
    int n;
    do {
        n = poll(&p, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n > 0 && (p.revents & POLLIN) != 0;
}

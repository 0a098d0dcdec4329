// Rates without a Bxxx constant (14400, 56000, 128000, 256000, custom rates) go to the driver through
// termios2 with BOTHER. Kept apart because the kernel's termios2 header clashes with <termios.h>.

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

#include "link/SerialBackend.h"

int SetArbitraryBaudRate(int fd, int rate) {
    if (rate <= 0) {
        return EINVAL;
    }
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return errno;
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= static_cast<tcflag_t>(BOTHER | (BOTHER << IBSHIFT));
    t.c_ispeed = static_cast<speed_t>(rate);
    t.c_ospeed = static_cast<speed_t>(rate);
    if (ioctl(fd, TCSETS2, &t) != 0) {
        return errno;
    }
    return 0;
}

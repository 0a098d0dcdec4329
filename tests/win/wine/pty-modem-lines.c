/*
 * Preloaded into Wine (LD_PRELOAD) by scripts/windows-check.sh: gives the pseudo-terminals that stand
 * in for COM ports steady modem lines, as a null-modem cable to a powered adapter would.
 *
 * A pseudo-terminal has no modem lines: TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC fail with ENOTTY.
 * Wine's thread that watches a COM port for WaitCommEvent reads the modem lines on every pass and
 * gives up when it cannot, ending every wait after a few milliseconds with ERROR_OPERATION_ABORTED.
 * Here those calls succeed on a pseudo-terminal: the lines read DTR, RTS, CTS, DSR and carrier on, and
 * setting them is accepted and changes nothing. Every other call, and every other device, is left
 * alone.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

/* Unix98 pseudo-terminal slaves have the majors 136 to 143. */
static int IsPseudoTerminal(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real_ioctl)(int, unsigned long, ...);
    if (real_ioctl == NULL) {
        real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    }
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    const int saved = errno;
    const int result = real_ioctl(fd, request, argument);
    if (result < 0 && (errno == ENOTTY || errno == EINVAL) && IsPseudoTerminal(fd)) {
        if (request == TIOCMGET && argument != NULL) {
            *(int*)argument = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
            errno = saved;
            return 0;
        }
        if (request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) {
            errno = saved;
            return 0;
        }
    }
    return result;
}

// The serial port on Linux: a termios device opened for exclusive use. Failures carry the Windows
// system code of the same meaning as errno, so messages read alike on both systems.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <string_view>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "link/SerialBackend.h"
#include "link/StopEvent.h"

std::string DevicePath(const std::string& portName) {
    if (!portName.empty() && portName[0] == '/') {
        return portName;
    }
    const std::string named = "/dev/" + portName;
    // "COMn" (any letter case, as Windows takes it) is the n-th standard serial port, unless /dev has
    // an entry of that very name (a link made for a virtual port): the port list shows such a link by
    // its name, and the name opens what the list showed.
    if (portName.size() > 3 && (portName[0] == 'C' || portName[0] == 'c') &&
        (portName[1] == 'O' || portName[1] == 'o') && (portName[2] == 'M' || portName[2] == 'm') &&
        portName.size() <= 6 &&
        std::all_of(portName.begin() + 3, portName.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const int n = std::stoi(portName.substr(3));
        struct stat entry {};
        if (n >= 1 && lstat(named.c_str(), &entry) != 0) {
            return "/dev/ttyS" + std::to_string(n - 1);
        }
    }
    return named;
}

std::int32_t WinCodeFromErrno(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
    case EISDIR:
        return 5; // ERROR_ACCESS_DENIED
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return 2; // ERROR_FILE_NOT_FOUND
    case ENOTDIR:
        return 3; // ERROR_PATH_NOT_FOUND
    case EMFILE:
    case ENFILE:
        return 4; // ERROR_TOO_MANY_OPEN_FILES
    case EBADF:
        return 6; // ERROR_INVALID_HANDLE
    case ENOMEM:
        return 8; // ERROR_NOT_ENOUGH_MEMORY
    case EROFS:
        return 19; // ERROR_WRITE_PROTECT
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP:
        return 1; // ERROR_INVALID_FUNCTION
    case EINVAL:
    case ERANGE:
        return 87; // ERROR_INVALID_PARAMETER
    case EPIPE:
        return 109; // ERROR_BROKEN_PIPE
    case ENOSPC:
        return 112; // ERROR_DISK_FULL
    case ENAMETOOLONG:
        return 206; // ERROR_FILENAME_EXCED_RANGE
    case EINTR:
        return 995; // ERROR_OPERATION_ABORTED
    case EIO:
        return 1117; // ERROR_IO_DEVICE
    case ETIMEDOUT:
        return 1460; // ERROR_TIMEOUT
    case ELOOP:
        return 1921; // ERROR_CANT_RESOLVE_FILENAME
    default:
        return 31; // ERROR_GEN_FAILURE
    }
}

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Raise(const char* operation, int error) {
    throw EComPort(operation, WinCodeFromErrno(error));
}

// The errors by which a terminal shows that its device has gone: the kernel hangs a terminal up when
// its USB-serial adapter is unplugged or the far end of a pseudo-terminal closes, and every later call
// on it then fails with EIO; a driver whose device is being removed reports ENODEV or ENXIO.
bool DeviceGoneError(int error) {
    return error == EIO || error == ENODEV || error == ENXIO;
}

// Milliseconds left until deadline, rounded up so that a poll never wakes just before it.
int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 1000000000LL));
}

bool SpeedConstant(std::int32_t rate, speed_t& speed) {
    static constexpr struct {
        std::int32_t rate;
        speed_t speed;
    } kSpeeds[] = {{50, B50},         {75, B75},         {110, B110},        {134, B134},
                   {150, B150},       {200, B200},       {300, B300},        {600, B600},
                   {1200, B1200},     {1800, B1800},     {2400, B2400},      {4800, B4800},
                   {9600, B9600},     {19200, B19200},   {38400, B38400},    {57600, B57600},
                   {115200, B115200}, {230400, B230400}, {460800, B460800},  {500000, B500000},
                   {576000, B576000}, {921600, B921600}, {1000000, B1000000}};
    for (const auto& s : kSpeeds) {
        if (s.rate == rate) {
            speed = s.speed;
            return true;
        }
    }
    return false;
}

// The framing and handshake parts of the line settings, each on its own termios.
void SetDataBits(termios& t, std::uint8_t byteSize) {
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    const int index = std::clamp<int>(byteSize, 5, 8) - 5;
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | kSizes[index];
}

void SetStopBits(termios& t, std::uint8_t stopBits) {
    if (stopBits != 0) {
        t.c_cflag |= CSTOPB; // one and a half stop bits are sent as two
    } else {
        t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    }
}

// parity: 0 none, 1 odd, 2 even, 3 mark, 4 space. Checking with replacement: a byte with a parity error
// is read as a zero byte. Checking alone passes such bytes on unchanged, as the Windows driver does.
void SetParity(termios& t, std::uint8_t parity, bool checkAndReplace) {
    t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
    switch (parity) {
    case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        t.c_cflag |= PARENB;
        break;
    case 3:
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (checkAndReplace) {
        t.c_iflag |= INPCK;
    }
}

void SetHandshake(termios& t, const TLineSettings& s) {
    if (s.OutxCtsFlow || s.RtsControl == rtsHandshake) {
        t.c_cflag |= CRTSCTS;
    }
    if (s.OutX) {
        t.c_iflag |= IXON;
    }
    if (s.InX) {
        t.c_iflag |= IXOFF;
    }
    t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);
}

// How long a byte of received data takes to be noticed while earlier bytes are still waiting: the
// wait then polls the receive count in slices of this length.
constexpr int kRxSliceMs = 5;

class TPosixSerialDevice final : public TSerialDevice {
public:
    explicit TPosixSerialDevice(int fd) : fd_(fd) {
        int lines = 0;
        hasModemLines_ = ioctl(fd_, TIOCMGET, &lines) == 0;
        // The settings the terminal had, put back when the port closes.
        hasOriginal_ = tcgetattr(fd_, &original_) == 0;
        RequestLowLatency();
    }

    ~TPosixSerialDevice() override {
        // What the terminal had before: its settings and the driver's latency. A device that has gone
        // refuses; there is nothing left to restore then.
        if (lowLatencySet_) {
            serial_struct serial{};
            if (ioctl(fd_, TIOCGSERIAL, &serial) == 0) {
                serial.flags &= ~ASYNC_LOW_LATENCY;
                ioctl(fd_, TIOCSSERIAL, &serial);
            }
        }
        if (hasOriginal_) {
            tcsetattr(fd_, TCSANOW, &original_);
        }
        // Let the next user (not only root) open the device again while others keep it open.
        ioctl(fd_, TIOCNXCL);
        close(fd_); // also releases the lock
    }

    bool Gone() const override { return gone_; }

    void SetQueueSizes(std::int32_t, std::int32_t) override {
        // The kernel sizes its own queues. The call still proves the handle is a terminal, as
        // SetupComm would.
        CurrentSettings(kErrSetupComm);
    }

    void SetLineSettings(const TLineSettings& s) override {
        termios t = CurrentSettings(kErrSetCommState);
        SetRawLineAndRate(t, s.BaudRate);
        // The framing and handshake parts, each on its own: a pseudo-terminal cannot hold some of
        // them (parity, 5 to 7 data bits) and takes the rest.
        TryChange(t, [&](termios& u) { SetDataBits(u, s.ByteSize); });
        TryChange(t, [&](termios& u) { SetStopBits(u, s.StopBits); });
        TryChange(t, [&](termios& u) { SetParity(u, s.Parity, s.ParityCheck && s.ErrorCharOn); });
        TryChange(t, [&](termios& u) { SetHandshake(u, s); });
        SetModemLines(s.DtrControl, s.RtsControl);
        discardNull_ = s.Null;
    }

    void SetTimeouts(const TTimeoutSettings& timeouts) override { timeouts_ = timeouts; }

    void AbortPending() override {
        // Every operation here completes before it returns: there is nothing pending to abort,
        // and queued bytes are kept.
    }

    std::int32_t Write(const void* buffer, std::int32_t count) override {
        // Write time-out as Windows computes it; both parts 0 means no limit.
        const std::uint64_t limitMs =
            static_cast<std::uint64_t>(timeouts_.WriteTotalConstant) +
            static_cast<std::uint64_t>(timeouts_.WriteTotalMultiplier) * static_cast<std::uint64_t>(count);
        const bool limited = timeouts_.WriteTotalConstant != 0 || timeouts_.WriteTotalMultiplier != 0;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
        if (rtsToggle_) {
            SetLine(TIOCM_RTS, true);
        }
        const auto* bytes = static_cast<const unsigned char*>(buffer);
        std::int32_t done = 0;
        int failure = 0;
        while (done < count) {
            const ssize_t n = write(fd_, bytes + done, static_cast<std::size_t>(count - done));
            if (n > 0) {
                done += static_cast<std::int32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                failure = errno;
                break;
            }
            // The transmit queue is full: wait for room until the write time-out.
            const int waitMs = limited ? MillisecondsLeft(deadline) : -1;
            if (waitMs == 0) {
                break;
            }
            pollfd p{fd_, POLLOUT, 0};
            const int r = poll(&p, 1, waitMs);
            if (r < 0 && errno != EINTR) {
                failure = errno;
                break;
            }
            if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (p.revents & POLLOUT) == 0) {
                failure = (p.revents & POLLNVAL) != 0 ? EBADF : EIO;
                break;
            }
        }
        if (rtsToggle_) {
            tcdrain(fd_);
            SetLine(TIOCM_RTS, false);
        }
        if (failure != 0) {
            Fail(kErrWriteFile, failure);
        }
        return done;
    }

    std::int32_t Waiting() override {
        int count = 0;
        if (ioctl(fd_, FIONREAD, &count) != 0) {
            Fail(kErrClearCommError, errno);
        }
        return count;
    }

    std::int32_t Read(char* buffer, std::int32_t count) override {
        int waiting = 0;
        if (ioctl(fd_, FIONREAD, &waiting) != 0) {
            Fail(kErrReadFile, errno);
        }
        if (waiting <= 0) {
            return 0;
        }
        const std::size_t wanted =
            static_cast<std::size_t>(std::min(count, static_cast<std::int32_t>(waiting)));
        ssize_t n;
        do {
            n = read(fd_, buffer, wanted);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return 0;
            }
            Fail(kErrReadFile, errno);
        }
        std::int32_t got = static_cast<std::int32_t>(n);
        if (discardNull_) {
            got = static_cast<std::int32_t>(std::remove(buffer, buffer + got, '\0') - buffer);
        }
        return got;
    }

    void WaitForEvent(TComEvents& events, const TStopEvent* stopEvent, std::int32_t timeoutMs) override {
        const bool wantRx = events.Contains(evRxChar);
        const int stopFd = stopEvent != nullptr ? stopEvent->NativeHandle() : -1;
        const bool limited = timeoutMs >= 0;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);

        // Bytes already waiting do not end the wait: only a growing count does.
        std::int32_t known = CountForWait();
        bool sliced = known > 0;
        for (;;) {
            int waitMs = limited ? MillisecondsLeft(deadline) : -1;
            if (wantRx && sliced) {
                waitMs = waitMs < 0 ? kRxSliceMs : std::min(waitMs, kRxSliceMs);
            }
            pollfd p[2] = {{stopFd, POLLIN, 0}, {fd_, static_cast<short>(wantRx && !sliced ? POLLIN : 0), 0}};
            const int r = poll(p, 2, waitMs);
            if (r < 0 && errno != EINTR) {
                Fail(kErrWaitForEvent, errno);
            }
            if (r > 0) {
                if ((p[0].revents & POLLNVAL) != 0 || (p[1].revents & POLLNVAL) != 0) {
                    Fail(kErrWaitForEvent, EBADF);
                }
                if ((p[0].revents & POLLIN) != 0) {
                    events = TComEvents{};
                    return;
                }
                if ((p[1].revents & (POLLERR | POLLHUP)) != 0 && (p[1].revents & POLLIN) == 0) {
                    Fail(kErrWaitForEvent, EIO); // the line went away
                }
            }
            if (wantRx && (sliced || (r > 0 && (p[1].revents & POLLIN) != 0))) {
                const std::int32_t now = CountForWait();
                if (now > known) {
                    events = TComEvents{evRxChar};
                    return;
                }
                known = now;
                // Readable with no new byte counted (bytes waiting, or a hang-up being reported):
                // from here on watch the count in slices.
                sliced = true;
            }
            if (limited && MillisecondsLeft(deadline) == 0) {
                events = TComEvents{};
                return;
            }
        }
    }

private:
    [[noreturn]] void Fail(const char* operation, int error) {
        if (DeviceGoneError(error)) {
            gone_ = true;
        }
        Raise(operation, error);
    }

    termios CurrentSettings(const char* operation) {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) {
            Fail(operation, errno);
        }
        return t;
    }

    // The basic part: raw bytes, receiver on, modem-status lines not controlling the line, no flow
    // control or parity yet, reads that never wait; and the rate, a standard one through termios, any
    // other through termios2. Applied at once; t is left as the device then holds it.
    void SetRawLineAndRate(termios& t, std::int32_t rate) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CMSPAR | PARODD);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        speed_t speed = B9600;
        const bool standardRate = SpeedConstant(rate, speed);
        if (standardRate) {
            cfsetispeed(&t, speed);
            cfsetospeed(&t, speed);
        } else if (rate <= 0) {
            Fail(kErrSetCommState, EINVAL);
        }
        if (tcsetattr(fd_, TCSANOW, &t) != 0) {
            Fail(kErrSetCommState, errno);
        }
        if (!standardRate) {
            if (const int error = SetArbitraryBaudRate(fd_, rate); error != 0) {
                Fail(kErrSetCommState, error);
            }
            t = CurrentSettings(kErrSetCommState);
        }
    }

    void SetModemLines(std::uint8_t dtrControl, std::uint8_t rtsControl) {
        // A device without modem lines (a pseudo-terminal) takes the setting silently.
        SetLine(TIOCM_DTR, dtrControl != dtrDisable);
        // With a toggled RTS the line is raised only while a write is under way.
        SetLine(TIOCM_RTS, rtsControl == rtsEnable || rtsControl == rtsHandshake);
        rtsToggle_ = rtsControl == rtsToggle;
    }

    // USB-serial adapters hold received bytes back for a latency time (16 ms by default on FTDI
    // chips) unless the driver is asked for low latency; the replies' waits are 50 to 100 ms. A
    // driver without the request (a pseudo-terminal) or one that refuses it is left as it is.
    void RequestLowLatency() {
        serial_struct serial{};
        if (ioctl(fd_, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) {
            return;
        }
        serial.flags |= ASYNC_LOW_LATENCY;
        lowLatencySet_ = ioctl(fd_, TIOCSSERIAL, &serial) == 0;
    }

    std::int32_t CountForWait() {
        int count = 0;
        if (ioctl(fd_, FIONREAD, &count) != 0) {
            Fail(kErrWaitForEvent, errno);
        }
        return count;
    }

    // Applies one change of the settings on top of t; a device that cannot hold it keeps t. Only a
    // device without modem lines (a pseudo-terminal) may refuse; a serial device that refuses fails.
    template <typename Change> void TryChange(termios& t, Change change) {
        termios u = t;
        change(u);
        if (tcsetattr(fd_, TCSANOW, &u) == 0) {
            t = u;
            return;
        }
        const int error = errno;
        if (hasModemLines_) {
            Fail(kErrSetCommState, error);
        }
        tcsetattr(fd_, TCSANOW, &t);
    }

    void SetLine(int line, bool on) {
        if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) != 0) {
            const int error = errno;
            if (error != ENOTTY && error != EINVAL) {
                Fail(kErrSetCommState, error);
            }
        }
    }

    int fd_;
    bool gone_ = false;
    bool hasOriginal_ = false;
    termios original_{};
    bool lowLatencySet_ = false;
    bool hasModemLines_ = false;
    bool rtsToggle_ = false;
    bool discardNull_ = false;
    TTimeoutSettings timeouts_;
};

// An opening that fails on something that is no serial port reports "no such port" (2), as Windows does
// for a COM port that is not there: a device node without hardware behind it (a placeholder UART, which
// fails with EIO), a folder, a device that is not a terminal.
int OpenError(int error) {
    return (error == EIO || error == EISDIR || error == ENOTTY) ? ENODEV : error;
}

struct TDirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using TDir = std::unique_ptr<DIR, TDirCloser>;

bool AllDigits(const char* text) {
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
    }
    return true;
}

// Whether a process other than this one has the character device rdev open: a terminal program, a
// modem manager or a getty holds a port without any lock. Found through the descriptor links under
// /proc; processes this user may not look into are passed over. Only links into /dev (or to the
// device's own path) are followed, so no descriptor on a slow file system is ever touched.
bool OpenInAnotherProcess(dev_t rdev, const std::string& devicePath) {
    TDir proc(opendir("/proc"));
    if (!proc) {
        return false;
    }
    const std::string self = std::to_string(getpid());
    std::string target(4096, '\0');
    while (const dirent* process = readdir(proc.get())) {
        if (!AllDigits(process->d_name) || self == process->d_name) {
            continue;
        }
        const std::string fdFolder = std::string("/proc/") + process->d_name + "/fd";
        TDir fds(opendir(fdFolder.c_str()));
        if (!fds) {
            continue; // ended meanwhile, or not ours to look into
        }
        while (const dirent* fd = readdir(fds.get())) {
            if (!AllDigits(fd->d_name)) {
                continue;
            }
            const std::string link = fdFolder + "/" + fd->d_name;
            const ssize_t n = readlink(link.c_str(), target.data(), target.size());
            if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
                continue;
            }
            const std::string_view to(target.data(), static_cast<std::size_t>(n));
            if (to.substr(0, 5) != "/dev/" && to != devicePath) {
                continue; // sockets, pipes, ordinary files
            }
            struct stat st {};
            if (stat(link.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
                return true;
            }
        }
    }
    return false;
}

// Gives up a device being opened, as it was before: exclusive mode set here is cleared (the
// next user without root's rights could not open it otherwise), and closing releases the lock.
[[noreturn]] void RefuseOpen(int fd, bool clearExclusive, int error) {
    if (clearExclusive) {
        ioctl(fd, TIOCNXCL);
    }
    close(fd);
    Raise(kErrOpen, error);
}

} // namespace

std::unique_ptr<TSerialDevice> OpenSerialDevice(const std::string& portName) {
    // Windows refuses the bare "\\.\" as an invalid name.
    if (portName.empty()) {
        throw EComPort(kErrOpen, kWinErrorInvalidName);
    }
    const std::string path = DevicePath(portName);
    int fd;
    do {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        Raise(kErrOpen, OpenError(errno));
    }
    // Only terminals are serial ports: anything else is refused before it is touched.
    if (!isatty(fd)) {
        const int error = errno;
        close(fd);
        Raise(kErrOpen, OpenError(error));
    }
    // Exclusive use. First the device is taken: the lock keeps out every other user of this layer
    // (root included, whom TIOCEXCL does not stop), TIOCEXCL every later opener without root's
    // rights. Only then are other holders looked for, so a program that opened the device before us
    // is seen and one that comes after is kept out (or, being root and lockless, seen as well); none
    // slips in between the look and the taking. A refusal leaves the device as it was.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        Raise(kErrOpen, error);
    }
    // Exclusive mode that another holder set stays with it when we refuse.
    int wasExclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &wasExclusive) != 0) {
        wasExclusive = 0;
    }
    // Every terminal takes TIOCEXCL (the terminal layer itself handles it, pseudo-terminals included);
    // a refusal means the terminal has been hung up (EIO) or a security module forbids it, and a port
    // that cannot be made exclusive is not opened.
    if (ioctl(fd, TIOCEXCL) != 0) {
        RefuseOpen(fd, false, OpenError(errno));
    }
    const bool clearExclusive = wasExclusive == 0;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        RefuseOpen(fd, clearExclusive, OpenError(errno));
    }
    if (!S_ISCHR(st.st_mode)) {
        RefuseOpen(fd, clearExclusive, OpenError(ENOTTY)); // a terminal is always a character device
    }
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    if (OpenInAnotherProcess(st.st_rdev, real ? real.get() : path)) {
        RefuseOpen(fd, clearExclusive, EBUSY);
    }
    return std::make_unique<TPosixSerialDevice>(fd);
}

// The serial port layer against real pseudo-terminals: exclusive opening, reading, writing, the
// event wait, the settings and when they reach the device, and the text forms.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <linux/serial.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "link/ComPort.h"
#include "link/QuorbData.h"
#include "link/SerialBackend.h"
#include "link/StopEvent.h"
#include "support/CountingDevice.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A pseudo-terminal whose slave the port opens by path. The test keeps its own slave descriptor so
// the master never reads EIO, and plays the far end of the line on the master.
class TPty {
public:
    TPty() {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty failed: " << errno;
            return;
        }
        path_ = name;
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
    }
    ~TPty() {
        if (master_ >= 0) {
            close(master_);
        }
        if (slave_ >= 0) {
            close(slave_);
        }
    }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    const std::string& Path() const { return path_; }
    int Slave() const { return slave_; }
    void CloseMaster() {
        close(master_);
        master_ = -1;
    }

    // The far end sends bytes to the port.
    void Send(const std::string& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // The far end collects n bytes sent by the port (or what came within a generous guard).
    std::string Receive(std::size_t n) const {
        std::string got;
        const auto deadline = Clock::now() + 10s;
        while (got.size() < n && Clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buf[256];
                const ssize_t r = read(master_, buf, std::min(sizeof buf, n - got.size()));
                if (r > 0) {
                    got.append(buf, static_cast<std::size_t>(r));
                }
            }
        }
        return got;
    }
    speed_t OutSpeed() const {
        const termios t = SlaveTermios();
        return cfgetospeed(&t);
    }
    termios SlaveTermios() const {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Waits (with a generous guard against hanging) until the port reports n bytes waiting.
bool WaitForBytes(TCustomComPort& port, std::int32_t n) {
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        if (port.BytesWaiting() == n) {
            return true;
        }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// The message of the EComPort that f raises ("" when none is raised).
std::string ComPortError(const std::function<void()>& f, std::int32_t* code = nullptr) {
    try {
        f();
    } catch (const EComPort& e) {
        if (code != nullptr) {
            *code = e.WinCode;
        }
        return e.what();
    }
    return "";
}

// Whether the terminal is in exclusive mode (TIOCEXCL), seen through the test's own descriptor.
bool Exclusive(int fd) {
    int exclusive = -1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    return exclusive != 0;
}

// Whether another opener could take the device's lock now.
bool Lockable(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return locked;
}

// A plain open of the device by a program without root's rights and without a lock, such as a
// terminal program: 0 when it opens, else its errno. As root the open is made by a child that gives
// up root first (the device is made readable and writable for all for that).
int OpenWithoutRootError(const std::string& path) {
    const auto openError = [&] {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const int error = fd < 0 ? errno : 0;
        if (fd >= 0) {
            close(fd);
        }
        return error;
    };
    if (geteuid() != 0) {
        return openError();
    }
    EXPECT_EQ(chmod(path.c_str(), 0666), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(255);
        }
        _exit(openError());
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 255) << "could not give up root";
    return WEXITSTATUS(status);
}

// Opens the port named path in a child process, after `prepare` has run there (false: it could not);
// `parentSide` runs here meanwhile. Returns the system code of the open's failure, 0 when it opened,
// -1 when the child could not be set up (reported).
int OpenInChild(
    const std::string& path, const std::function<bool()>& prepare,
    const std::function<void()>& parentSide = [] {}) {
    const pid_t child = fork();
    if (child == 0) {
        if (!prepare()) {
            _exit(254);
        }
        int code = 0;
        try {
            TComPort port;
            port.SetPort(path);
            port.OpenPort();
            port.ClosePort();
        } catch (const EComPort& e) {
            code = e.WinCode;
        } catch (...) {
            code = 253;
        }
        _exit(code);
    }
    parentSide();
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    if (!WIFEXITED(status) || WEXITSTATUS(status) >= 253) {
        ADD_FAILURE() << "the child failed: status " << status;
        return -1;
    }
    return WEXITSTATUS(status);
}

// Opens the port named path in a child process in which one system call fails with the given errno:
// the kernel refuses it there (a seccomp filter), so the port layer meets a real failure of the call.
// The failing call is ioctl(fd, request) when request is given, else fstat. Returns the system code
// of OpenInChild.
struct TFailingCall {
    unsigned long IoctlRequest = 0; // 0: fstat
    int Error = 0;
};

int OpenWithFailingCall(const std::string& path, TFailingCall failing) {
#if defined(__x86_64__)
    constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
    ADD_FAILURE() << "no seccomp architecture for this machine";
    return -1;
#endif
    const auto load = [](std::uint32_t offset) {
        return sock_filter BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
    };
    const auto fail = static_cast<std::uint32_t>(SECCOMP_RET_ERRNO | (failing.Error & SECCOMP_RET_DATA));
    const std::uint32_t low1 = offsetof(seccomp_data, args[1]); // little-endian: the low half
    const std::uint32_t low3 = offsetof(seccomp_data, args[3]);
    std::vector<sock_filter> program = {
        load(offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        load(offsetof(seccomp_data, nr)),
    };
    if (failing.IoctlRequest != 0) {
        program.insert(program.end(), {
                                          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioctl, 0, 3),
                                          load(low1),
                                          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K,
                                                   static_cast<std::uint32_t>(failing.IoctlRequest), 0, 1),
                                          BPF_STMT(BPF_RET | BPF_K, fail),
                                      });
    } else {
        // fstat is fstat itself or, in newer C libraries, newfstatat on the descriptor with an empty path.
        program.insert(program.end(), {
                                          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fstat, 0, 1),
                                          BPF_STMT(BPF_RET | BPF_K, fail),
                                          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_newfstatat, 0, 3),
                                          load(low3),
                                          BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, AT_EMPTY_PATH, 0, 1),
                                          BPF_STMT(BPF_RET | BPF_K, fail),
                                      });
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};

    return OpenInChild(path, [&] {
        return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
               prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
    });
}

// Opens the port named path in a child process that is held still just as it asks for the device's
// lock (the kernel hands its flock call to this process first, a seccomp listener), while
// `meanwhile` runs here; then the lock is taken as asked. Returns the code of OpenInChild.
int OpenHeldAtTheLock(const std::string& path, const std::function<void()>& meanwhile) {
    int channel[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        ADD_FAILURE() << "socketpair: " << errno;
        return -1;
    }
    // One byte with the listener's descriptor attached.
    int listener = -1;
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;

    const auto prepare = [&] {
        sock_filter program[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_flock, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
            return false;
        }
        listener = static_cast<int>(
            syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &filter));
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &listener, sizeof(int));
        return listener >= 0 && sendmsg(channel[1], &message, 0) == 1;
    };
    bool held = false;
    const auto parentSide = [&] {
        close(channel[1]);
        if (recvmsg(channel[0], &message, 0) != 1 || CMSG_FIRSTHDR(&message) == nullptr) {
            return;
        }
        std::memcpy(&listener, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof(int));
        seccomp_notif request{};
        held = ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) == 0;
        if (held) {
            meanwhile();
            seccomp_notif_resp response{};
            response.id = request.id;
            response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
            EXPECT_EQ(ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response), 0);
        }
        close(listener);
    };
    const int code = OpenInChild(path, prepare, parentSide);
    close(channel[0]);
    EXPECT_TRUE(held) << "the child was not held at the lock";
    return held ? code : -1;
}

bool SameCounts(const TApplyCounts& a, const TApplyCounts& b) {
    return a.QueueSizes == b.QueueSizes && a.LineSettings == b.LineSettings && a.Timeouts == b.Timeouts;
}

} // namespace

// ---------------------------------------------------------------------------------------------

TEST(ComPortStartValues, NewObjectAndDataModuleColumns) {
    TComPort port;
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.CustomBaudRate(), 9600);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.Parity().Bits(), prNone);
    EXPECT_FALSE(port.Parity().Check());
    EXPECT_FALSE(port.Parity().Replace());
    EXPECT_EQ(port.Parity().ReplaceChar(), 0);
    EXPECT_EQ(port.FlowControl().ControlDTR(), dtrDisable);
    EXPECT_EQ(port.FlowControl().ControlRTS(), rtsDisable);
    EXPECT_EQ(port.FlowControl().XonChar(), 17);
    EXPECT_EQ(port.FlowControl().XoffChar(), 19);
    EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);
    EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(port.Timeouts().ReadTotalMultiplier(), 0);
    EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 0);
    EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), 100);
    EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    EXPECT_EQ(port.Buffer().OutputSize(), 1024);
    EXPECT_EQ(port.StoredGroups(), 1);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.UpdateCount(), 0);
    for (int e = evRxChar; e <= evRx80Full; ++e) {
        EXPECT_TRUE(port.Events().Contains(static_cast<TComEvent>(e))) << e;
    }
    EXPECT_EQ(port.Events(), TComEvents::All());

    TQuorbDataModule dataModule;
    EXPECT_TRUE(dataModule.ComPort.Events().Empty());
    EXPECT_EQ(dataModule.ComPort.Name(), "ComPort");
    EXPECT_EQ(dataModule.ComPort.Port(), "COM1");
    EXPECT_EQ(dataModule.ComPort.StoredGroups(), 1);
    EXPECT_FALSE(dataModule.ComPort.Connected());
}

TEST(ComPortStartValues, DeviceValuesOfTheBuiltInSettings) {
    TComPort port;
    const TLineSettings s = port.LineSettings();
    EXPECT_EQ(s.BaudRate, 9600);
    EXPECT_EQ(s.ByteSize, 8);
    EXPECT_EQ(s.Parity, 0);
    EXPECT_EQ(s.StopBits, 0);
    EXPECT_EQ(s.XonLim, 256);
    EXPECT_EQ(s.XoffLim, 256);
    EXPECT_FALSE(s.ErrorCharOn);
    const TTimeoutSettings t = port.TimeoutSettings();
    EXPECT_EQ(t.ReadInterval, 0xFFFFFFFFu);
    EXPECT_EQ(t.WriteTotalConstant, 1000u);
    EXPECT_EQ(t.WriteTotalMultiplier, 100u);

    // The replacement character reaches the device only when checking and replacing are both on.
    port.Parity().SetReplaceChar(63);
    port.Parity().SetReplace(true);
    EXPECT_FALSE(port.LineSettings().ErrorCharOn);
    EXPECT_EQ(port.LineSettings().ErrorChar, 0);
    port.Parity().SetCheck(true);
    EXPECT_TRUE(port.LineSettings().ErrorCharOn);
    EXPECT_EQ(port.LineSettings().ErrorChar, 63);

    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(31250);
    EXPECT_EQ(port.LineSettings().BaudRate, 31250);
    port.SetBaudRate(br256000);
    EXPECT_EQ(port.LineSettings().BaudRate, 256000);
    port.SetDataBits(dbFive);
    EXPECT_EQ(port.LineSettings().ByteSize, 5);
}

TEST(ComEvents, SetOperations) {
    TComEvents set;
    EXPECT_TRUE(set.Empty());
    set.Include(evRxFlag);
    set.Include(evRx80Full);
    EXPECT_TRUE(set.Contains(evRxFlag));
    EXPECT_TRUE(set.Contains(evRx80Full));
    EXPECT_FALSE(set.Contains(evRxChar));
    EXPECT_EQ(set, (TComEvents{evRx80Full, evRxFlag}));
    set.Exclude(evRxFlag);
    EXPECT_EQ(set, TComEvents{evRx80Full});
    EXPECT_FALSE(set == TComEvents{});
    EXPECT_EQ(TComEvents::All().Mask(), 0x3FF);
    EXPECT_EQ(TComEvents::FromMask(0xFFFF), TComEvents::All());
}

TEST(ComPortError, MessageCarriesTheSystemCode) {
    const EComPort withCode("Unable to open com port", 5);
    EXPECT_STREQ(withCode.what(), "Unable to open com port (win error code: 5)");
    EXPECT_EQ(withCode.WinCode, 5);
    EXPECT_STREQ(withCode.ClassName(), "EComPort");
    const EComPort withoutCode("Cannot wait for event if event thread is created");
    EXPECT_STREQ(withoutCode.what(), "Cannot wait for event if event thread is created");
    EXPECT_EQ(withoutCode.WinCode, -1);
    const ERq7Error& base = withCode;
    EXPECT_STREQ(base.ClassName(), "EComPort");
}

// ---------------------------------------------------------------------------------------------

TEST(ComPortTextForms, ToText) {
    EXPECT_EQ(BaudRateToStr(brCustom), "Custom");
    EXPECT_EQ(BaudRateToStr(br110), "110");
    EXPECT_EQ(BaudRateToStr(br14400), "14400");
    EXPECT_EQ(BaudRateToStr(br56000), "56000");
    EXPECT_EQ(BaudRateToStr(br256000), "256000");
    EXPECT_EQ(DataBitsToStr(dbFive), "5");
    EXPECT_EQ(DataBitsToStr(dbEight), "8");
    EXPECT_EQ(StopBitsToStr(sbOneStopBit), "1");
    EXPECT_EQ(StopBitsToStr(sbOne5StopBits), "1.5");
    EXPECT_EQ(StopBitsToStr(sbTwoStopBits), "2");
    EXPECT_EQ(ParityToStr(prNone), "None");
    EXPECT_EQ(ParityToStr(prSpace), "Space");
    EXPECT_EQ(FlowControlToStr(fcHardware), "Hardware");
    EXPECT_EQ(FlowControlToStr(fcCustom), "Custom");
    EXPECT_EQ(DTRFlowControlToStr(dtrHandshake), "Handshake");
    EXPECT_EQ(RTSFlowControlToStr(rtsToggle), "Toggle");
    // Every text form converts back to its own value.
    for (int i = brCustom; i <= br256000; ++i) {
        EXPECT_EQ(StrToBaudRate(BaudRateToStr(static_cast<TBaudRate>(i))), i);
    }
    for (int i = prNone; i <= prSpace; ++i) {
        EXPECT_EQ(StrToParity(ParityToStr(static_cast<TParityBits>(i))), i);
    }
}

TEST(ComPortTextForms, FromTextUpperCasesAsciiAndFallsBackToDefaults) {
    EXPECT_EQ(StrToBaudRate("256000"), br256000);
    EXPECT_EQ(StrToBaudRate("custom"), brCustom);
    EXPECT_EQ(StrToBaudRate("CuStOm"), brCustom);
    EXPECT_EQ(StrToBaudRate("abc"), br9600);
    EXPECT_EQ(StrToBaudRate(""), br9600);
    EXPECT_EQ(StrToBaudRate(" 110"), br9600);
    EXPECT_EQ(StrToBaudRate("110"), br110);
    EXPECT_EQ(StrToDataBits("5"), dbFive);
    EXPECT_EQ(StrToDataBits("7"), dbSeven);
    EXPECT_EQ(StrToDataBits("9"), dbEight);
    EXPECT_EQ(StrToStopBits("1.5"), sbOne5StopBits);
    EXPECT_EQ(StrToStopBits("1,5"), sbOneStopBit);
    EXPECT_EQ(StrToStopBits("2"), sbTwoStopBits);
    EXPECT_EQ(StrToParity("space"), prSpace);
    EXPECT_EQ(StrToParity("ODD"), prOdd);
    EXPECT_EQ(StrToParity("mark"), prMark);
    EXPECT_EQ(StrToParity("Нет"), prNone);
    EXPECT_EQ(StrToFlowControl("none"), fcNone);
    EXPECT_EQ(StrToFlowControl("HARDWARE"), fcHardware);
    EXPECT_EQ(StrToFlowControl("software"), fcSoftware);
    EXPECT_EQ(StrToFlowControl("Заказной"), fcCustom);
    // Only ASCII letters are upper-cased: a Cyrillic "С" in place of the Latin "C" matches nothing.
    EXPECT_EQ(StrToBaudRate("Сustom"), br9600);
}

// ---------------------------------------------------------------------------------------------

TEST(ComPortDeviceNames, MappedToDeviceFiles) {
    EXPECT_EQ(DevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(DevicePath("COM12"), "/dev/ttyS11");
    EXPECT_EQ(DevicePath("com1"), "/dev/ttyS0");
    EXPECT_EQ(DevicePath("/dev/pts/3"), "/dev/pts/3");
    EXPECT_EQ(DevicePath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(DevicePath("COM0"), "/dev/COM0");
    EXPECT_EQ(DevicePath("COMx"), "/dev/COMx");
}

TEST(ComPortDeviceNames, ErrnoTranslatedToWindowsCodes) {
    EXPECT_EQ(WinCodeFromErrno(EBUSY), 5);
    EXPECT_EQ(WinCodeFromErrno(EACCES), 5);
    EXPECT_EQ(WinCodeFromErrno(EPERM), 5);
    EXPECT_EQ(WinCodeFromErrno(EWOULDBLOCK), 5);
    EXPECT_EQ(WinCodeFromErrno(ENOENT), 2);
    EXPECT_EQ(WinCodeFromErrno(ENODEV), 2);
    EXPECT_EQ(WinCodeFromErrno(ENXIO), 2);
    EXPECT_EQ(WinCodeFromErrno(EBADF), 6);
    EXPECT_EQ(WinCodeFromErrno(EINVAL), 87);
    EXPECT_EQ(WinCodeFromErrno(EIO), 1117);
    EXPECT_EQ(WinCodeFromErrno(ENOTDIR), 3);
}

TEST(ComPortOpen, EachRefusalCarriesTheCodeWhoseAdviceFitsIt) {
    // Code 5 means no permission or another holder, code 2 no such port: a name that is no port at
    // all must not send the user looking for another program.
    const auto openError = [](const std::string& name) {
        TComPort port;
        port.SetPort(name);
        std::int32_t code = 0;
        const std::string message = ComPortError([&] { port.OpenPort(); }, &code);
        EXPECT_FALSE(port.Connected()) << name;
        return message.empty() ? -1 : code;
    };
    EXPECT_EQ(openError(""), 123) << "the empty name (\\\\.\\ on Windows) is an invalid name";
    EXPECT_EQ(openError("/dev/rq7-no-such-port"), 2);
    EXPECT_EQ(openError("pts"), 2) << "a folder is no port";
    EXPECT_EQ(openError("null"), 2) << "a device that is not a terminal is no port";
    EXPECT_EQ(openError("/dev/rq7-no-such-folder/ttyS0"), 2);
    EXPECT_EQ(openError("/dev/null/ttyS0"), 3) << "a path through a file";
    // A device node without a device behind it: a pseudo-terminal whose slave side is still locked
    // fails with EIO, as a placeholder UART does.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    char name[128] = {};
    ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
    EXPECT_EQ(openError(name), 2);
    close(master);
}

TEST(ComPortOpen, ADeviceAnotherProcessHoldsWithoutALockIsRefusedWithCode5) {
    TPty pty;
    // Another program (a terminal program, a modem manager) has the device open, without a lock and
    // without exclusive mode; as root, neither would stop a second opener.
    int ready[2] = {-1, -1};
    int release[2] = {-1, -1};
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        close(ready[0]);
        close(release[1]);
        const int fd = open(pty.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        char c = fd >= 0 ? '1' : '0';
        [[maybe_unused]] const auto told = write(ready[1], &c, 1);
        [[maybe_unused]] const auto released = read(release[0], &c, 1);
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char opened = 0;
    ASSERT_EQ(read(ready[0], &opened, 1), 1);
    EXPECT_EQ(opened, '1');

    TComPort port;
    port.SetPort(pty.Path());
    std::int32_t code = 0;
    EXPECT_EQ(ComPortError([&] { port.OpenPort(); }, &code), "Unable to open com port (win error code: 5)");
    EXPECT_FALSE(port.Connected());
    // The refusal leaves the device as it found it: neither exclusive nor locked.
    EXPECT_FALSE(Exclusive(pty.Slave()));
    EXPECT_TRUE(Lockable(pty.Path()));
    // A holder that made the device exclusive itself keeps it so (as root the port still gets to look).
    ASSERT_EQ(ioctl(pty.Slave(), TIOCEXCL), 0);
    EXPECT_EQ(ComPortError([&] { port.OpenPort(); }), "Unable to open com port (win error code: 5)");
    EXPECT_TRUE(Exclusive(pty.Slave()));
    ASSERT_EQ(ioctl(pty.Slave(), TIOCNXCL), 0);
    // Also when reached through a link of another name.
    const std::string link = "/tmp/rq7-held-" + std::to_string(getpid());
    ASSERT_EQ(symlink(pty.Path().c_str(), link.c_str()), 0);
    port.SetPort(link);
    EXPECT_EQ(ComPortError([&] { port.OpenPort(); }), "Unable to open com port (win error code: 5)");

    // Once the other program lets go, the port opens.
    close(release[1]);
    int status = 0;
    waitpid(holder, &status, 0);
    close(ready[0]);
    EXPECT_NO_THROW(port.OpenPort());
    EXPECT_TRUE(port.Connected());
    port.ClosePort();
    unlink(link.c_str());
}

TEST(ComPortOpen, OpenersThatComeAfterThePortIsTakenAreKeptOut) {
    TPty pty;
    ASSERT_EQ(OpenWithoutRootError(pty.Path()), 0) << "a free device opens for anyone";
    TComPort port;
    port.SetPort(pty.Path());
    port.OpenPort();
    EXPECT_TRUE(Exclusive(pty.Slave()));
    EXPECT_EQ(OpenWithoutRootError(pty.Path()), EBUSY) << "a terminal program without a lock";
    EXPECT_FALSE(Lockable(pty.Path())) << "a program that locks, root or not";
    port.ClosePort();
    EXPECT_FALSE(Exclusive(pty.Slave()));
    EXPECT_EQ(OpenWithoutRootError(pty.Path()), 0);
    EXPECT_TRUE(Lockable(pty.Path()));
}

TEST(ComPortOpen, AProgramThatOpensTheDeviceWhileThePortTakesItIsSeen) {
    // Another program opens the device, without a lock, just as the port asks for the lock: it is
    // either kept out or found by the look for other holders that follows; it never shares the port.
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    const std::string path = name;
    int other = -1;
    const int code =
        OpenHeldAtTheLock(path, [&] { other = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); });
    ASSERT_GE(other, 0) << "the other program could not open the device";
    EXPECT_EQ(code, 5);
    close(other);
    // Nobody else in the way, the same child opens the port.
    EXPECT_EQ(OpenHeldAtTheLock(path, [] {}), 0);
    close(master);
}

TEST(ComPortOpen, ATerminalThatRefusesExclusiveModeOrItsStatusIsNotOpened) {
    // The kernel refuses the call as it does for a terminal that has been hung up (EIO: no such port,
    // 2) or that a security module guards (EACCES: no permission, 5). Either way the port stays closed
    // and the device is left neither exclusive nor locked.
    // The test holds only the master side, so the child's port finds no other holder of the device.
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    const std::string path = name;
    const auto exclusive = [&] {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            return errno == EBUSY;
        }
        const bool result = Exclusive(fd);
        close(fd);
        return result;
    };
    struct TCase {
        const char* what;
        TFailingCall failing;
        int code;
    };
    const TCase cases[] = {
        {"TIOCEXCL fails with EIO", {TIOCEXCL, EIO}, 2},
        {"TIOCEXCL fails with EACCES", {TIOCEXCL, EACCES}, 5},
        {"fstat fails with EIO", {0, EIO}, 2},
        {"fstat fails with ENOMEM", {0, ENOMEM}, 8},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(OpenWithFailingCall(path, c.failing), c.code) << c.what;
        EXPECT_FALSE(exclusive()) << c.what;
        EXPECT_TRUE(Lockable(path)) << c.what;
    }
    // The same child with a call failing that opening does not make opens the port: the refusals
    // above are the calls' own.
    EXPECT_EQ(OpenWithFailingCall(path, {TIOCSTI, EIO}), 0);
    EXPECT_FALSE(exclusive());
    close(master);
}

TEST(ComPortOpen, ClosingPutsBackTheSettingsTheTerminalHadBeforeOpening) {
    TPty pty;
    termios cooked = pty.SlaveTermios();
    cooked.c_lflag |= ICANON | ECHO;
    cooked.c_iflag |= ICRNL;
    cfsetospeed(&cooked, B1200);
    cfsetispeed(&cooked, B1200);
    ASSERT_EQ(tcsetattr(pty.Slave(), TCSANOW, &cooked), 0);

    TComPort port;
    port.SetPort(pty.Path());
    port.OpenPort();
    ASSERT_EQ(pty.SlaveTermios().c_lflag & (ICANON | ECHO), 0u);
    ASSERT_EQ(pty.OutSpeed(), B9600);
    port.ClosePort();
    const termios after = pty.SlaveTermios();
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    EXPECT_NE(after.c_iflag & ICRNL, 0u);
    EXPECT_EQ(cfgetospeed(&after), B1200);
    EXPECT_EQ(cfgetispeed(&after), B1200);
}

TEST(ComPortOpen, ARealUartIsAskedForLowLatencyWhileOpenAndLeftAsItWas) {
    // Needs a real serial port that nothing else uses, named in RQ7_TEST_UART (for example /dev/ttyS0).
    const char* uart = std::getenv("RQ7_TEST_UART");
    if (uart == nullptr || *uart == '\0') {
        GTEST_SKIP() << "RQ7_TEST_UART is not set: name a real serial port that nothing else uses";
    }
    const auto lowLatency = [&] {
        const int fd = open(uart, O_RDWR | O_NOCTTY | O_NONBLOCK);
        serial_struct serial{};
        const bool got = fd >= 0 && ioctl(fd, TIOCGSERIAL, &serial) == 0;
        if (fd >= 0) {
            close(fd);
        }
        EXPECT_TRUE(got) << uart << " offers no serial settings";
        return (serial.flags & ASYNC_LOW_LATENCY) != 0;
    };
    const bool before = lowLatency();
    termios original{};
    {
        const int fd = open(uart, O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        tcgetattr(fd, &original);
        close(fd);
    }
    {
        TComPort port;
        port.SetPort(uart);
        port.OpenPort();
        // Looked at from a second descriptor of this process while the port holds the device.
        const int fd = open(uart, O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        serial_struct serial{};
        ASSERT_EQ(ioctl(fd, TIOCGSERIAL, &serial), 0);
        EXPECT_NE(serial.flags & ASYNC_LOW_LATENCY, 0) << "low latency while open";
        close(fd);
    }
    EXPECT_EQ(lowLatency(), before);
    const int fd = open(uart, O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios after{};
    tcgetattr(fd, &after);
    close(fd);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&original));
    EXPECT_EQ(after.c_lflag, original.c_lflag);
    EXPECT_EQ(after.c_cflag, original.c_cflag);
}

// ---------------------------------------------------------------------------------------------

TEST(ComPortOpen, ExclusiveUseAndMissingDevice) {
    TPty pty;
    TSettingsCounter firstCounter;
    TComPort first(firstCounter.Opener());
    first.SetPort(pty.Path());
    first.OpenPort();
    ASSERT_TRUE(first.Connected());

    TSettingsCounter secondCounter;
    TComPort second(secondCounter.Opener());
    second.SetPort(pty.Path());
    std::int32_t code = 0;
    EXPECT_EQ(ComPortError([&] { second.OpenPort(); }, &code), "Unable to open com port (win error code: 5)");
    EXPECT_EQ(code, 5);
    EXPECT_FALSE(second.Connected());
    EXPECT_EQ(secondCounter.Counts().LineSettings, 0);

    // Opening again while open does nothing.
    const TApplyCounts before = firstCounter.Counts();
    first.OpenPort();
    EXPECT_TRUE(SameCounts(before, firstCounter.Counts()));

    // Once the holder closes, the device is free, and not left exclusive for users without root.
    first.ClosePort();
    EXPECT_FALSE(first.Connected());
    int exclusive = 1;
    ASSERT_EQ(ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    second.OpenPort();
    EXPECT_TRUE(second.Connected());
    first.ClosePort(); // closing a closed port does nothing

    TComPort missing;
    missing.SetPort("/dev/rq7-no-such-port");
    EXPECT_EQ(ComPortError([&] { missing.OpenPort(); }), "Unable to open com port (win error code: 2)");
    EXPECT_FALSE(missing.Connected());

    // A device that is not a terminal is no serial port.
    TComPort notATerminal;
    notATerminal.SetPort("null");
    EXPECT_EQ(ComPortError([&] { notATerminal.OpenPort(); }), "Unable to open com port (win error code: 2)");
    EXPECT_FALSE(notATerminal.Connected());
}

TEST(ComPortOpen, DestroyingThePortClosesIt) {
    TPty pty;
    {
        TComPort port;
        port.SetPort(pty.Path());
        port.OpenPort();
        ASSERT_TRUE(port.Connected());
    }
    TComPort again;
    again.SetPort(pty.Path());
    EXPECT_NO_THROW(again.OpenPort());
    EXPECT_TRUE(again.Connected());
}

TEST(ComPortOpen, OpeningAppliesEverySettingAndMakesTheLineRaw) {
    TPty pty;
    // Cook the line first so that the port has something to undo.
    termios cooked = pty.SlaveTermios();
    cooked.c_lflag |= ICANON | ECHO;
    cfsetospeed(&cooked, B1200);
    cfsetispeed(&cooked, B1200);
    tcsetattr(pty.Slave(), TCSANOW, &cooked);

    TSettingsCounter counter;
    TComPort port(counter.Opener());
    port.SetPort(pty.Path());
    port.SetBaudRate(br19200); // on a closed port: only stored
    EXPECT_EQ(counter.Counts().LineSettings, 0);
    port.OpenPort();
    EXPECT_EQ(counter.Counts().QueueSizes, 1);
    EXPECT_EQ(counter.Counts().LineSettings, 1);
    EXPECT_EQ(counter.Counts().Timeouts, 1);
    termios t = pty.SlaveTermios();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);

    // Settings persist across close and reopen, and every open applies them again.
    port.ClosePort();
    tcsetattr(pty.Slave(), TCSANOW, &cooked);
    port.OpenPort();
    EXPECT_EQ(counter.Counts().LineSettings, 2);
    t = pty.SlaveTermios();
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
}

TEST(ComPortOpen, SettingsThatFailOnOpenLeaveThePortClosedAndFree) {
    TPty pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(0);
    EXPECT_EQ(ComPortError([&] { port.OpenPort(); }), "SetCommState function failed (win error code: 87)");
    EXPECT_FALSE(port.Connected());
    TComPort other;
    other.SetPort(pty.Path());
    EXPECT_NO_THROW(other.OpenPort());
}

// ---------------------------------------------------------------------------------------------

TEST(ComPortSettings, ChangesReachAnOpenDeviceOnlyWhenDifferent) {
    TPty pty;
    TSettingsCounter counter;
    TComPort port(counter.Opener());
    port.SetPort(pty.Path());
    port.OpenPort();
    TApplyCounts c = counter.Counts();

    port.SetBaudRate(br9600); // unchanged
    port.Parity().SetBits(prNone);
    port.FlowControl().SetXonChar(17);
    port.Timeouts().SetWriteTotalConstant(1000);
    port.Buffer().SetInputSize(1024);
    port.SetEvents(TComEvents{});
    port.SetStoredGroups(63);
    EXPECT_TRUE(SameCounts(c, counter.Counts()));

    port.SetBaudRate(br57600);
    EXPECT_EQ(counter.Counts().LineSettings, c.LineSettings + 1);
    EXPECT_EQ(pty.OutSpeed(), B57600);
    port.SetStopBits(sbTwoStopBits);
    EXPECT_NE(pty.SlaveTermios().c_cflag & CSTOPB, 0u);
    port.SetStopBits(sbOneStopBit);
    EXPECT_EQ(pty.SlaveTermios().c_cflag & CSTOPB, 0u);
    port.FlowControl().SetXonChar(0x11 + 1);
    EXPECT_EQ(pty.SlaveTermios().c_cc[VSTART], 0x12);
    EXPECT_EQ(counter.Counts().LineSettings, c.LineSettings + 4);
    EXPECT_EQ(counter.Counts().QueueSizes, c.QueueSizes);

    port.Timeouts().SetWriteTotalConstant(500);
    port.Timeouts().SetReadInterval(0);
    EXPECT_EQ(counter.Counts().Timeouts, c.Timeouts + 2);
    EXPECT_EQ(counter.Counts().LineSettings, c.LineSettings + 4);

    // An odd size is reduced by one; the queue sizes are applied.
    port.Buffer().SetInputSize(2049);
    EXPECT_EQ(port.Buffer().InputSize(), 2048);
    EXPECT_EQ(counter.Counts().QueueSizes, c.QueueSizes + 1);
    port.Buffer().SetInputSize(2048);
    EXPECT_EQ(counter.Counts().QueueSizes, c.QueueSizes + 1);
    port.Buffer().SetOutputSize(7);
    EXPECT_EQ(port.Buffer().OutputSize(), 6);
    EXPECT_EQ(port.LineSettings().XonLim, 512);

    // Rates without a termios constant, parity and short characters: a pseudo-terminal takes what
    // it can hold and the port does not fail.
    EXPECT_NO_THROW(port.SetBaudRate(br14400));
    EXPECT_NO_THROW(port.SetBaudRate(br256000));
    EXPECT_NO_THROW(port.Parity().SetBits(prMark));
    EXPECT_NO_THROW(port.SetDataBits(dbSeven));
    EXPECT_NO_THROW(port.FlowControl().SetControlDTR(dtrEnable));
    EXPECT_TRUE(port.Connected());
}

TEST(ComPortSettings, FailingSetterKeepsTheNewValue) {
    TPty pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.SetBaudRate(brCustom);
    port.OpenPort();
    EXPECT_EQ(ComPortError([&] { port.SetCustomBaudRate(-5); }),
              "SetCommState function failed (win error code: 87)");
    EXPECT_EQ(port.CustomBaudRate(), -5);
    EXPECT_TRUE(port.Connected());
}

TEST(ComPortSettings, UpdateBracketsNestAndApplyOnlyAtTheOutermostEnd) {
    TPty pty;
    TSettingsCounter counter;
    TComPort port(counter.Opener());
    port.SetPort(pty.Path());
    port.OpenPort();
    const TApplyCounts c = counter.Counts();

    // End without Begin: nothing happens, the counter stays 0.
    port.EndSettingsBatch();
    EXPECT_EQ(port.UpdateCount(), 0);
    EXPECT_TRUE(SameCounts(c, counter.Counts()));

    port.BeginSettingsBatch();
    port.BeginSettingsBatch();
    port.SetBaudRate(br115200);
    port.Timeouts().SetReadTotalConstant(5);
    port.Buffer().SetInputSize(4096);
    port.FlowControl().SetFlowControl(fcHardware);
    EXPECT_TRUE(SameCounts(c, counter.Counts()));
    EXPECT_NE(pty.OutSpeed(), B115200);
    port.EndSettingsBatch();
    EXPECT_EQ(port.UpdateCount(), 1);
    EXPECT_TRUE(SameCounts(c, counter.Counts()));
    port.EndSettingsBatch();
    EXPECT_EQ(port.UpdateCount(), 0);
    EXPECT_EQ(counter.Counts().QueueSizes, c.QueueSizes + 1);
    EXPECT_EQ(counter.Counts().LineSettings, c.LineSettings + 1);
    EXPECT_EQ(counter.Counts().Timeouts, c.Timeouts + 1);
    EXPECT_EQ(pty.OutSpeed(), B115200);
    EXPECT_NE(pty.SlaveTermios().c_cflag & CRTSCTS, 0u);
    port.EndSettingsBatch();
    EXPECT_EQ(port.UpdateCount(), 0);
}

TEST(ComPortSettings, OpenInsideABracketAppliesNothingUntilItEnds) {
    TPty pty;
    TSettingsCounter counter;
    TComPort port(counter.Opener());
    port.SetPort(pty.Path());
    port.BeginSettingsBatch();
    port.OpenPort();
    EXPECT_TRUE(port.Connected());
    EXPECT_TRUE(SameCounts(TApplyCounts{}, counter.Counts()));
    port.EndSettingsBatch();
    EXPECT_EQ(counter.Counts().QueueSizes, 1);
    EXPECT_EQ(counter.Counts().LineSettings, 1);
    EXPECT_EQ(counter.Counts().Timeouts, 1);

    // A bracket on a closed port stores only; its end touches nothing.
    TSettingsCounter closedCounter;
    TComPort closed(closedCounter.Opener());
    closed.BeginSettingsBatch();
    closed.SetBaudRate(br1200);
    closed.EndSettingsBatch();
    EXPECT_TRUE(SameCounts(TApplyCounts{}, closedCounter.Counts()));
    EXPECT_EQ(closed.BaudRate(), br1200);
}

TEST(ComPortSettings, FlowControlPresetReadsAndSets) {
    TPty pty;
    TSettingsCounter counter;
    TComPort port(counter.Opener());
    port.SetPort(pty.Path());
    TComFlowControl& fc = port.FlowControl();
    fc.SetControlDTR(dtrEnable);
    fc.SetControlRTS(rtsEnable);
    EXPECT_EQ(fc.FlowControl(), fcCustom);
    port.OpenPort();
    const int lines = counter.Counts().LineSettings;

    // fcCustom changes no field but applies the line settings again.
    fc.SetFlowControl(fcCustom);
    EXPECT_EQ(counter.Counts().LineSettings, lines + 1);
    EXPECT_EQ(fc.ControlRTS(), rtsEnable);
    EXPECT_EQ(fc.ControlDTR(), dtrEnable);

    // fcNone drops RTS even from rtsEnable, leaves DTR alone.
    fc.SetOutCTSFlow(true);
    fc.SetXonXoffIn(true);
    fc.SetOutDSRFlow(true);
    fc.SetFlowControl(fcNone);
    EXPECT_EQ(fc.ControlRTS(), rtsDisable);
    EXPECT_FALSE(fc.OutCTSFlow());
    EXPECT_FALSE(fc.XonXoffIn());
    EXPECT_FALSE(fc.XonXoffOut());
    EXPECT_EQ(fc.ControlDTR(), dtrEnable);
    EXPECT_TRUE(fc.OutDSRFlow());
    EXPECT_EQ(fc.FlowControl(), fcNone);
    // Setting the same preset again still re-applies.
    const int afterNone = counter.Counts().LineSettings;
    fc.SetFlowControl(fcNone);
    EXPECT_EQ(counter.Counts().LineSettings, afterNone + 1);

    fc.SetFlowControl(fcSoftware);
    EXPECT_EQ(fc.FlowControl(), fcSoftware);
    EXPECT_TRUE(fc.XonXoffIn());
    EXPECT_TRUE(fc.XonXoffOut());
    termios t = pty.SlaveTermios();
    EXPECT_NE(t.c_iflag & IXON, 0u);
    EXPECT_NE(t.c_iflag & IXOFF, 0u);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);

    fc.SetFlowControl(fcHardware);
    EXPECT_EQ(fc.FlowControl(), fcHardware);
    EXPECT_EQ(fc.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(fc.OutCTSFlow());
    t = pty.SlaveTermios();
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);

    // The reading follows the table's order: a near miss is custom.
    fc.SetXonXoffOut(true);
    EXPECT_EQ(fc.FlowControl(), fcCustom);
    fc.SetFlowControl(fcNone);
    fc.SetOutCTSFlow(true);
    EXPECT_EQ(fc.FlowControl(), fcCustom);
}

// ---------------------------------------------------------------------------------------------

TEST(ComPortChange, SamePortTextDoesNothingOtherTextReopens) {
    TPty pty;
    // Two names of one device, differing only in letter case.
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("rq7-port-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink(pty.Path(), dir / "LINE");
    std::filesystem::create_symlink(pty.Path(), dir / "line");

    TSettingsCounter counter;
    TComPort port(counter.Opener());
    port.SetPort((dir / "LINE").string());
    port.OpenPort();
    const TApplyCounts c = counter.Counts();
    port.SetPort((dir / "LINE").string());
    EXPECT_TRUE(SameCounts(c, counter.Counts()));

    port.SetPort((dir / "line").string());
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(port.Port(), (dir / "line").string());
    EXPECT_EQ(counter.Counts().LineSettings, c.LineSettings + 1);
    EXPECT_EQ(counter.Counts().QueueSizes, c.QueueSizes + 1);

    // Inside a bracket the reopen still happens at once; the settings wait for the bracket's end.
    TPty other;
    port.BeginSettingsBatch();
    port.SetPort(other.Path());
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(counter.Counts().LineSettings, c.LineSettings + 1);
    // The first device was released and the new one is held.
    TComPort probe;
    probe.SetPort(pty.Path());
    EXPECT_NO_THROW(probe.OpenPort());
    probe.ClosePort();
    probe.SetPort(other.Path());
    EXPECT_EQ(ComPortError([&] { probe.OpenPort(); }), "Unable to open com port (win error code: 5)");
    port.EndSettingsBatch();
    EXPECT_EQ(counter.Counts().LineSettings, c.LineSettings + 2);

    // A name that cannot be opened: the port ends closed, carrying the new name.
    EXPECT_EQ(ComPortError([&] { port.SetPort("/dev/rq7-no-such-port"); }),
              "Unable to open com port (win error code: 2)");
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Port(), "/dev/rq7-no-such-port");
    // On a closed port a new name is only stored.
    port.SetPort(pty.Path());
    EXPECT_FALSE(port.Connected());

    std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------------------------------------

TEST(ComPortIo, ReadWriteAndBytesWaiting) {
    TPty pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.OpenPort();
    EXPECT_EQ(port.BytesWaiting(), 0);

    std::string text = "old";
    EXPECT_EQ(port.ReadBytes(text, 0), 0);
    EXPECT_EQ(text, "");
    text = "old";
    EXPECT_EQ(port.ReadBytes(text, 4), 0); // nothing waiting: no wait, nothing read
    EXPECT_EQ(text, "");

    pty.Send("abcde");
    ASSERT_TRUE(WaitForBytes(port, 5));
    EXPECT_EQ(port.ReadBytes(text, 3), 3);
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(port.BytesWaiting(), 2);
    EXPECT_EQ(port.ReadBytes(text, 10), 2);
    EXPECT_EQ(text, "de");

    // Every byte value passes unchanged, both ways.
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    pty.Send(all);
    ASSERT_TRUE(WaitForBytes(port, 256));
    EXPECT_EQ(port.ReadBytes(text, 256), 256);
    EXPECT_EQ(text, all);
    EXPECT_EQ(port.WriteBytes(all.data(), 256), 256);
    EXPECT_EQ(pty.Receive(256), all);

    EXPECT_EQ(port.WriteBytes("\x00\x03\x00\x00\x00\x07\x05\xD9", 8), 8);
    EXPECT_EQ(pty.Receive(8), std::string("\x00\x03\x00\x00\x00\x07\x05\xD9", 8));
    EXPECT_EQ(port.WriteBytes("x", 0), 0);
    EXPECT_EQ(port.WriteBytes("x", -1), 0);
    EXPECT_EQ(ComPortError([&] { port.WriteBytes(nullptr, 4); }),
              "WriteFile function failed (win error code: 998)");
}

TEST(ComPortIo, DiscardNullDropsZeroBytes) {
    TPty pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.SetDiscardNull(true);
    port.OpenPort();
    pty.Send(std::string("a\0b\0", 4));
    ASSERT_TRUE(WaitForBytes(port, 4));
    std::string text;
    EXPECT_EQ(port.ReadBytes(text, 4), 2);
    EXPECT_EQ(text, "ab");
}

TEST(ComPortIo, WriteReturnsWhatWentOutWhenTheWriteTimeOutExpires) {
    TPty pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.Timeouts().SetWriteTotalConstant(200);
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.OpenPort();
    // The far end never reads: the line's queues fill up long before a megabyte has gone.
    const std::string block(1 << 20, 'z');
    const auto start = Clock::now();
    const std::int32_t written = port.WriteBytes(block.data(), static_cast<std::int32_t>(block.size()));
    EXPECT_LT(Clock::now() - start, 60s); // hang guard only
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<std::int32_t>(block.size()));
}

TEST(ComPortIo, OperationsOnAClosedPortFailWithTheInvalidHandleCode) {
    TPty pty;
    TComPort port;
    port.SetPort(pty.Path());
    for (int round = 0; round < 2; ++round) {
        std::string text = "keep";
        TComEvents events{evRxChar};
        EXPECT_EQ(ComPortError([&] { port.WriteBytes("a", 1); }),
                  "WriteFile function failed (win error code: 6)");
        EXPECT_EQ(ComPortError([&] { port.ReadBytes(text, 1); }),
                  "ReadFile function failed (win error code: 6)");
        EXPECT_EQ(ComPortError([&] { port.BytesWaiting(); }),
                  "ClearCommError function failed (win error code: 6)");
        EXPECT_EQ(ComPortError([&] { port.WaitForEvent(events, nullptr, 10); }),
                  "WaitForEvent method failed (win error code: 6)");
        EXPECT_EQ(events, TComEvents{evRxChar});
        EXPECT_FALSE(port.Connected());
        // Once more after an open and a close.
        port.OpenPort();
        port.ClosePort();
    }
}

// ---------------------------------------------------------------------------------------------

TEST(ComPortWait, TimeOutWithNoEventsAndEarlierBytesIgnored) {
    TPty pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.OpenPort();

    TComEvents events{evRxChar};
    EXPECT_NO_THROW(port.WaitForEvent(events, nullptr, 30));
    EXPECT_TRUE(events.Empty());

    pty.Send("1234");
    ASSERT_TRUE(WaitForBytes(port, 4));
    events = TComEvents{evRxChar};
    port.WaitForEvent(events, nullptr, 300);
    EXPECT_TRUE(events.Empty());
    EXPECT_EQ(port.BytesWaiting(), 4);

    // A wait not asking for received characters is not ended by them.
    events = TComEvents{evTxEmpty};
    std::thread sender([&] {
        std::this_thread::sleep_for(50ms);
        pty.Send("5");
    });
    port.WaitForEvent(events, nullptr, 300);
    sender.join();
    EXPECT_TRUE(events.Empty());
}

TEST(ComPortWait, NewByteDuringTheWaitEndsIt) {
    TPty pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.OpenPort();

    // On an empty line, and while earlier bytes are still waiting.
    for (const bool earlierBytes : {false, true}) {
        if (earlierBytes) {
            pty.Send("old");
            ASSERT_TRUE(WaitForBytes(port, 3));
        }
        TComEvents events{evRxChar};
        std::thread sender([&] {
            std::this_thread::sleep_for(100ms);
            pty.Send("!");
        });
        port.WaitForEvent(events, nullptr, 20000);
        sender.join();
        EXPECT_EQ(events, TComEvents{evRxChar}) << "earlier bytes: " << earlierBytes;
        std::string text;
        port.ReadBytes(text, 100);
        EXPECT_EQ(text, earlierBytes ? "old!" : "!");
    }
}

TEST(ComPortWait, StopEventEndsTheWaitWithNoEvents) {
    TPty pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.OpenPort();
    TStopEvent stop;
    EXPECT_FALSE(stop.IsSignalled());

    // Signalled from another thread during the wait.
    TComEvents events{evRxChar};
    std::thread signaller([&] {
        std::this_thread::sleep_for(100ms);
        stop.Signal();
    });
    auto start = Clock::now();
    port.WaitForEvent(events, &stop, 60000);
    signaller.join();
    EXPECT_LT(Clock::now() - start, 30s); // hang guard only
    EXPECT_TRUE(events.Empty());

    // Already signalled: every later wait returns at once, also with bytes arriving.
    EXPECT_TRUE(stop.IsSignalled());
    pty.Send("x");
    ASSERT_TRUE(WaitForBytes(port, 1));
    for (int i = 0; i < 3; ++i) {
        events = TComEvents{evRxChar};
        start = Clock::now();
        port.WaitForEvent(events, &stop, 60000);
        EXPECT_LT(Clock::now() - start, 30s);
        EXPECT_TRUE(events.Empty());
    }
    EXPECT_TRUE(stop.IsSignalled());
    EXPECT_EQ(port.BytesWaiting(), 1);
}

TEST(ComPortWait, LineHangUpEndsTheWaitWithAFailure) {
    TPty pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.OpenPort();
    pty.CloseMaster();
    TComEvents events{evRxChar};
    const auto start = Clock::now();
    const std::string message = ComPortError([&] { port.WaitForEvent(events, nullptr, 60000); });
    EXPECT_LT(Clock::now() - start, 30s); // hang guard only
    EXPECT_EQ(message.rfind("WaitForEvent method failed (win error code: ", 0), 0u) << message;
    EXPECT_EQ(events, TComEvents{evRxChar});
}

// ---------------------------------------------------------------------------------------------

TEST(ComPortGone, ACallThatFindsTheLineHungUpRaisesItsErrorAndClosesThePort) {
    std::string text;
    TComEvents events;
    const struct {
        const char* What;
        std::function<void(TComPort&)> Call;
        const char* Message;
    } cases[] = {
        {"write", [](TComPort& p) { p.WriteBytes("abc", 3); },
         "WriteFile function failed (win error code: 1117)"},
        {"bytes waiting", [](TComPort& p) { p.BytesWaiting(); },
         "ClearCommError function failed (win error code: 1117)"},
        {"read", [&](TComPort& p) { p.ReadBytes(text, 4); },
         "ReadFile function failed (win error code: 1117)"},
        {"event wait",
         [&](TComPort& p) {
             events = TComEvents{evRxChar};
             p.WaitForEvent(events, nullptr, 60000);
         },
         "WaitForEvent method failed (win error code: 1117)"},
        {"line settings", [](TComPort& p) { p.SetBaudRate(br19200); },
         "SetCommState function failed (win error code: 1117)"},
        {"queue sizes", [](TComPort& p) { p.Buffer().SetInputSize(4096); },
         "SetupComm function failed (win error code: 1117)"},
        {"settings at the end of a bracket",
         [](TComPort& p) {
             p.BeginSettingsBatch();
             p.EndSettingsBatch();
         },
         "SetupComm function failed (win error code: 1117)"},
    };
    for (const auto& c : cases) {
        TPty pty;
        TComPort port;
        port.SetPort(pty.Path());
        port.OpenPort();
        pty.CloseMaster(); // the far end goes: the kernel hangs the line up
        EXPECT_EQ(ComPortError([&] { c.Call(port); }), c.Message) << c.What;
        EXPECT_FALSE(port.Connected()) << c.What;
        EXPECT_EQ(port.UpdateCount(), 0) << c.What;
        // From now on the port is simply closed: no second report of the lost device.
        EXPECT_EQ(ComPortError([&] { port.WriteBytes("a", 1); }),
                  "WriteFile function failed (win error code: 6)")
            << c.What;
        EXPECT_NO_THROW(port.ClosePort()) << c.What;
    }
}

// ---------------------------------------------------------------------------------------------

namespace {
TStopEvent* gSignalStop = nullptr;
void SignalStop(int) {
    gSignalStop->Signal();
}
} // namespace

TEST(StopEvent, SignalledFromASignalHandlerAndNeverReset) {
    TStopEvent stop;
    EXPECT_FALSE(stop.IsSignalled());
    gSignalStop = &stop;
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = SignalStop;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    raise(SIGUSR1);
    sigaction(SIGUSR1, &previous, nullptr);
    gSignalStop = nullptr;
    EXPECT_TRUE(stop.IsSignalled());
    EXPECT_TRUE(stop.IsSignalled());
    stop.Signal();
    EXPECT_TRUE(stop.IsSignalled());

    TStopEvent other;
    EXPECT_FALSE(other.IsSignalled());
}

// The real rq7cli, stopped by the signals a shell, a service manager or a closed pipe sends: once a
// block has begun it is finished, the read-back is skipped, the exit code says so, and the port gets its
// settings back; a stop before the first write request sends nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "coef/TextFile.h"
#include "sim/SimBlock.h"
#include "sim/Simulator.h"
#include "support/Files.h"

namespace {

// rq7cli as a child process: its input from a pipe, its standard output and error into one pipe.
class TCliProcess {
public:
    TCliProcess(const std::vector<std::string>& args, const std::string& input, const std::string& dataHome) {
        int in[2];
        int out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(out[1], STDERR_FILENO);
            ::close(in[1]);
            ::close(out[0]);
            ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
            std::vector<char*> argv;
            std::string program = RQ7CLI_PATH;
            argv.push_back(program.data());
            std::vector<std::string> copies = args;
            for (std::string& arg : copies) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            ::execv(RQ7CLI_PATH, argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        output_ = out[0];
        const ssize_t written = ::write(in[1], input.data(), input.size());
        EXPECT_EQ(written, static_cast<ssize_t>(input.size()));
        ::close(in[1]);
    }
    ~TCliProcess() {
        if (pid_ > 0 && code_ == kRunning) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
        CloseOutput();
    }
    TCliProcess(const TCliProcess&) = delete;
    TCliProcess& operator=(const TCliProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // Reads the output until it holds count lines (or ends).
    std::string ReadLines(int count) {
        while (output_ >= 0 && std::count(text_.begin(), text_.end(), '\n') < count) {
            char buffer[256];
            const ssize_t n = ::read(output_, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            text_.append(buffer, static_cast<std::size_t>(n));
        }
        return text_;
    }
    void CloseOutput() {
        if (output_ >= 0) {
            ::close(output_);
            output_ = -1;
        }
    }
    // Reads everything that is left, then the exit code (-signal when a signal ended it).
    int Wait() {
        ReadLines(1 << 30);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        return code_;
    }
    const std::string& Text() const { return text_; }

private:
    static constexpr int kRunning = -1000;
    pid_t pid_ = -1;
    int output_ = -1;
    std::string text_;
    int code_ = kRunning;
};

// The terminal settings of the simulator's device as a program opening it finds them.
bool DeviceSettings(const std::string& path, termios& settings) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    const bool got = ::tcgetattr(fd, &settings) == 0;
    ::close(fd);
    return got;
}

bool SameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && ::cfgetispeed(&a) == ::cfgetispeed(&b) &&
           ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

bool Sealed(const TSimImage& image) {
    TSimImage sealed = image;
    SealSimImage(sealed);
    return sealed == image;
}

std::size_t WriteRequests(const TAdapterSimulator& sim) {
    std::size_t writes = 0;
    for (const TSimBytes& frame : sim.RequestFrames()) {
        writes += frame.size() > 1 && (frame[1] == 0x10 || frame[1] == 0x06) ? 1 : 0;
    }
    return writes;
}

// True when no read request went out after the first write request: no read-back followed the write.
bool NoReadAfterAWrite(const TAdapterSimulator& sim) {
    bool written = false;
    for (const TSimBytes& frame : sim.RequestFrames()) {
        written = written || frame[1] == 0x10 || frame[1] == 0x06;
        if (written && frame[1] == 0x03) {
            return false;
        }
    }
    return true;
}

// Replies come in real time here, and a late one costs a retry or the block (exit 8 instead of 9), so
// every check holds for either ending: what matters is that the process was not cut off by the signal,
// skipped the read-back, said where the block stands and gave the port its settings back.
TEST(CliSignals, AStopFinishesABlockOnceBegunAndSendsNothingBeforeIt) {
    struct TCase {
        const char* what;
        std::vector<std::string> args; // the port is added
        TSimMatch at;                  // the request at whose arrival the signal is sent
        int signal;
        bool begun; // the signal comes once a write request has gone out
    };
    const std::vector<TCase> cases = {
        {"SIGTERM in a write", {"write", "FILE"}, TSimMatch::WriteSlot(5), SIGTERM, true},
        {"SIGHUP in a write", {"write", "FILE"}, TSimMatch::WriteSlot(5), SIGHUP, true},
        {"SIGTERM in a limits write", {"limits", "--ch1", "20,4"}, TSimMatch::WriteSlot(2), SIGTERM, true},
        {"Ctrl+C before the limits write", {"limits", "--ch1", "20,4"}, TSimMatch::Identify(), SIGINT, false},
    };
    for (const TCase& c : cases) {
        TAdapterSimulator sim;
        TempDir dir;
        const std::string file = dir / "f.dat";
        WriteTextFileLines(file, {"1", "", "0202002", "500", "0.5", "16.001", "4.002", "90", "-45.5",
                                  "16.003", "4.004", "300", "1.25", "15.99", "3.98"});
        termios before{};
        ASSERT_TRUE(DeviceSettings(sim.DevicePath(), before)) << c.what;
        std::vector<std::string> args = c.args;
        for (std::string& arg : args) {
            arg = arg == "FILE" ? file : arg;
        }
        args.insert(args.end(), {"--port", sim.DevicePath()});
        std::atomic<pid_t> pid{0};
        const int signal = c.signal;
        sim.AddRule(c.at, TSimAction::Notify([&pid, signal] { ::kill(pid.load(), signal); }));
        TCliProcess process(args, "Vosek\nTrimel\n", dir.Path());
        pid = process.Pid();
        const int code = process.Wait();
        const std::string& said = process.Text();
        EXPECT_TRUE(NoReadAfterAWrite(sim)) << c.what;
        if (c.begun) {
            ASSERT_TRUE(code == 9 || code == 8) << c.what << ": exit " << code << "\n" << said;
            if (code == 9) {
                EXPECT_NE(said.find("блок дописан до конца, проверка чтением пропущена"), std::string::npos)
                    << c.what << "\n"
                    << said;
                EXPECT_TRUE(Sealed(sim.Image())) << c.what;
                EXPECT_EQ(sim.Slot(1), EncodeSimFloat(c.args[0] == "write" ? 500 : 20)) << c.what;
            } else {
                EXPECT_NE(said.find("Слоты с новыми значениями"), std::string::npos) << c.what << "\n"
                                                                                     << said;
            }
        } else {
            // Stopped before anything was written (exit 3 if the adapter missed its answers meanwhile).
            EXPECT_TRUE(code == 130 || code == 3) << c.what << ": exit " << code << "\n" << said;
            EXPECT_EQ(WriteRequests(sim), 0u) << c.what;
            EXPECT_TRUE(Sealed(sim.Image())) << c.what;
        }
        termios after{};
        ASSERT_TRUE(DeviceSettings(sim.DevicePath(), after)) << c.what;
        EXPECT_TRUE(SameSettings(before, after)) << c.what;
    }
}

TEST(CliSignals, AClosedOutputFinishesTheBlockItCutInto) {
    // rq7cli --trace write f.dat 2>&1 | head -3
    TAdapterSimulator sim;
    TempDir dir;
    const std::string file = dir / "f.dat";
    WriteTextFileLines(file, {"1", "", "0202002", "500", "0.5", "16.001", "4.002", "90", "-45.5", "16.003",
                              "4.004", "300", "1.25", "15.99", "3.98"});
    // Slot 3 is answered only once the output has been closed, so the close falls inside the block.
    std::atomic<bool> closed{false};
    sim.AddRule(TSimMatch::WriteSlot(3), TSimAction::Notify([&closed] {
                    for (int i = 0; i < 5000 && !closed.load(); ++i) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                }));
    // Without the service record, the first lines are the write's own.
    TCliProcess process({"--trace", "write", file, "--no-history", "--port", sim.DevicePath()},
                        "Vosek\nTrimel\n", dir.Path());
    const std::string head = process.ReadLines(3);
    EXPECT_NE(head.find("write slot 1"), std::string::npos) << head;
    process.CloseOutput();
    closed = true;
    const int code = process.Wait();
    ASSERT_TRUE(code == 9 || code == 8) << "exit " << code;
    EXPECT_TRUE(NoReadAfterAWrite(sim));
    EXPECT_EQ(Sealed(sim.Image()), code == 9);
}

} // namespace

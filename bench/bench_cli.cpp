// Prints how rq7cli spends its time against the adapter simulator: `rq7cli read` and `rq7cli write`
// (both passwords through standard input, the read-back included), each a fresh process as a script
// starts it, timed from its start to its exit:
//
//   - wall time against the sum of the waits the command has to make (target <= 1.02), from the
//     requests the adapter received; each wait lasts more than its milliseconds, so it is counted as
//     ms + 1 (a read: 2.770 s of waits and 49 ms more, 2.819 s);
//   - the command's processor time (user and system, from the system's accounting of the child)
//     against its wall time (target <= 0.01), and its peak resident memory;
//   - what a start of the program costs by itself (`rq7cli --help`), so that it can be told apart.
//
// The simulator runs in this process, so its work is not counted as the command's. Figures only:
// nothing passes or fails on time.
//
//   bench_cli [runs]        (default 5 runs of each command; medians printed)

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "sim/Simulator.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// One run of rq7cli: its exit code, wall and processor time, peak memory and what it printed.
struct TRun {
    int ExitCode = -1;
    double Wall = 0, Processor = 0, PeakMegabytes = 0;
    std::string Errors;
};

// Starts rq7cli with args, gives it input on its standard input, and waits for its end.
TRun RunCli(const std::vector<std::string>& args, const std::string& input) {
    int in[2], err[2];
    if (pipe(in) != 0 || pipe(err) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const auto start = Clock::now();
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(err[1]);
    if (error != 0) {
        std::fprintf(stderr, "bench: cannot start %s: %s\n", argv[0], std::strerror(error));
        std::exit(1);
    }
    // The passwords are a few bytes: the pipe takes them at once.
    (void)!write(in[1], input.data(), input.size());
    close(in[1]);
    TRun run;
    char buffer[512];
    ssize_t n = 0;
    while ((n = read(err[0], buffer, sizeof buffer)) > 0) {
        run.Errors.append(buffer, static_cast<std::size_t>(n));
    }
    close(err[0]);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.Wall = std::chrono::duration<double>(Clock::now() - start).count();
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.Processor = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    run.PeakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return run;
}

// The requests the adapter received since the log was last cleared, by kind.
struct TCounts {
    int Identify = 0, Read = 0, Write = 0, Other = 0;
};

TCounts TakeCounts(TAdapterSimulator& sim) {
    TCounts c;
    for (const TSimBytes& frame : sim.RequestFrames()) {
        if (frame.size() >= 4 && frame[1] == 0x03 && frame[2] == 0 && frame[3] == 0) {
            ++c.Identify;
        } else if (frame.size() >= 2 && frame[1] == 0x03) {
            ++c.Read;
        } else if (frame.size() >= 2 && frame[1] == 0x10) {
            ++c.Write;
        } else {
            ++c.Other;
        }
    }
    sim.ClearLog();
    return c;
}

// The waits, in seconds, that a command's requests call for (the technological timing), each of them
// ms + 1 whole milliseconds, as a wait ends only once more than its milliseconds have passed:
//   identify: 50 ms after each request, and 50 ms after a second one;
//   slot read: 100 and 20 ms in each request, 50 ms after each of the 16 slots;
//   slot write: 80 and 20 ms in each request, 50 ms before a second one, 80 ms after each of the 16.
// A clean read: 49 waits, 2.770 s + 49 ms = 2.819 s; a clean write: 48 waits, 2.880 s + 48 ms.
double Waits(int ms, int count) {
    return (ms + count) / 1000.0;
}
double ReadWaits(const TCounts& c) {
    const int second = c.Identify > 1 ? 1 : 0;
    return Waits(c.Identify * 50 + second * 50 + c.Read * 120 + 16 * 50,
                 c.Identify + second + c.Read * 2 + 16);
}
double WriteWaits(const TCounts& c) {
    const int retries = std::max(0, c.Write - 16);
    return Waits(c.Write * 100 + retries * 50 + 16 * 80, c.Write * 2 + retries + 16);
}

struct TSeries {
    explicit TSeries(const char* name) : Name(name) {}
    const char* Name;
    std::vector<double> Wall, Waits, Ratio, RatioLessStart, Processor, Share, ShareLessStart, Peak;

    void Add(const TRun& run, double waits, const TRun& start) {
        const double startup = start.Wall;
        Wall.push_back(run.Wall);
        Waits.push_back(waits);
        Ratio.push_back(run.Wall / waits);
        RatioLessStart.push_back((run.Wall - startup) / waits);
        Processor.push_back(run.Processor);
        Share.push_back(run.Processor / run.Wall);
        ShareLessStart.push_back((run.Processor - start.Processor) / (run.Wall - start.Wall));
        Peak.push_back(run.PeakMegabytes);
    }
    void Print() const {
        std::printf("  %-22s wall %.3f s, waits %.3f s, wall/waits %.4f (target <= 1.02; less the start "
                    "%.4f), processor %.4f s, processor/wall %.4f (target <= 0.01; less the start %.4f), "
                    "peak %.1f MB\n",
                    Name, Median(Wall), Median(Waits), Median(Ratio), Median(RatioLessStart),
                    Median(Processor), Median(Share), Median(ShareLessStart), Median(Peak));
    }
};

void PrintRun(const char* name, int run, const TRun& r, double waits, const TCounts& c) {
    std::printf("%-22s run %d: exit %d, wall %.4f s, waits %.3f s, wall/waits %.4f, processor %.4f s, "
                "processor/wall %.4f, peak %.1f MB  [%d identify, %d reads, %d writes]\n",
                name, run, r.ExitCode, r.Wall, waits, r.Wall / waits, r.Processor, r.Processor / r.Wall,
                r.PeakMegabytes, c.Identify, c.Read, c.Write);
    if (r.ExitCode != 0) {
        std::printf("    its messages: %s\n", r.Errors.c_str());
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string cli = RQ7_CLI_PATH;

    TAdapterSimulator sim;
    std::printf("rq7cli: %s\nsimulator on %s (in the bench's process)\n", cli.c_str(),
                sim.DevicePath().c_str());

    char folderTemplate[] = "/tmp/rq7-bench-cli.XXXXXX";
    const char* folder = mkdtemp(folderTemplate);
    if (folder == nullptr) {
        std::perror("scratch folder");
        return 1;
    }
    const std::string file = std::string(folder) + "/block.dat";

    std::vector<double> startWalls, startProcessors;
    for (int run = 1; run <= runs; ++run) {
        const TRun help = RunCli({cli, "--help"}, "");
        std::printf("%-22s run %d: wall %.4f s, processor %.4f s\n", "start (--help)", run, help.Wall,
                    help.Processor);
        startWalls.push_back(help.Wall);
        startProcessors.push_back(help.Processor);
    }
    TRun startup;
    startup.Wall = Median(startWalls);
    startup.Processor = Median(startProcessors);

    TSeries read("read"), write("write (with read-back)");
    int failures = 0;
    for (int run = 1; run <= runs; ++run) {
        const TRun r = RunCli({cli, "read", "--output", file, "--port", sim.DevicePath()}, "");
        TCounts c = TakeCounts(sim);
        double waits = ReadWaits(c);
        PrintRun("read", run, r, waits, c);
        read.Add(r, waits, startup);
        failures += r.ExitCode != 0 ? 1 : 0;

        // The file just read, written back: the 16 slots, then their read-back.
        const TRun w = RunCli({cli, "write", file, "--port", sim.DevicePath()}, "Vosek\nTrimel\n");
        c = TakeCounts(sim);
        waits = WriteWaits(c) + ReadWaits(TCounts{0, c.Read, 0, 0});
        PrintRun("write (with read-back)", run, w, waits, c);
        write.Add(w, waits, startup);
        failures += w.ExitCode != 0 ? 1 : 0;
    }

    std::printf("\nsummary (medians of %d runs; each command a fresh process, timed from its start to its "
                "exit)\n",
                runs);
    std::printf("  %-22s wall %.3f s, processor %.4f s (rq7cli --help: the process and Qt Core starting "
                "and ending)\n",
                "start:", startup.Wall, startup.Processor);
    read.Print();
    write.Print();
    if (failures > 0) {
        std::printf("commands that did not end with exit 0 (none expected): %d\n", failures);
    }
    std::remove(file.c_str());
    rmdir(folder);
    return failures > 0 ? 1 : 0;
}

// Prints how the program spends its time and memory against the adapter simulator, driving the real
// windows (offscreen) through TRq7Program with scripted answers to its questions and dialogs:
//
//   - the technological mode's opening read, its write (both passwords, no file), and the channel
//     limits window's opening read: wall time against the sum of the waits the program has to make
//     (target <= 1.02; each wait lasts more than its milliseconds, ms + 1 at least, which alone gives
//     about 1.018 for a read), and processor time against wall time (target <= 0.01); and where the
//     time above the waits went: the waits' overrun of their ends, and the rest (the exchanges with
//     the adapter, the windows);
//   - start-up to the main window shown with its port open, a fresh process each time (target <= 0.3 s);
//   - the peak resident memory of the program through all of that (target <= 60 MB).
//
// The simulator runs in a process of its own, so its work is not counted as the program's; it reports
// every request it receives through a pipe, so the sum of waits follows the requests actually made.
// Figures only: nothing passes or fails on time.
//
//   bench_windows [runs]        (default 5 runs of each sequence, 5 start-ups; medians printed)

#include <cerrno>
#include <cstring>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench/BenchSupport.h"
#include "sim/Simulator.h"

extern char** environ;

namespace {

using namespace rq7bench;

// ---- the simulator in a process of its own

struct TSimProcess {
    pid_t Pid = -1;
    std::string Device;
    int Requests = -1; // one byte per request: 'I' identify, 'R' slot read, 'W' slot write, '?' other
    int Control = -1;  // closing it ends the simulator
};

TSimProcess StartSimulator() {
    int pathPipe[2], requestPipe[2], controlPipe[2];
    if (pipe(pathPipe) != 0 || pipe(requestPipe) != 0 || pipe(controlPipe) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (pid == 0) {
        close(pathPipe[0]);
        close(requestPipe[0]);
        close(controlPipe[1]);
        {
            TAdapterSimulator sim;
            const int out = requestPipe[1];
            sim.SetObserver([out](const TSimRecord& record) {
                if (record.Kind != TSimRecord::EKind::Request || record.Bytes.size() < 4) {
                    return;
                }
                char kind = '?';
                if (record.Bytes[1] == 0x03 && record.Bytes[2] == 0 && record.Bytes[3] == 0) {
                    kind = 'I';
                } else if (record.Bytes[1] == 0x03) {
                    kind = 'R';
                } else if (record.Bytes[1] == 0x10) {
                    kind = 'W';
                }
                (void)!write(out, &kind, 1);
            });
            const std::string line = sim.DevicePath() + "\n";
            (void)!write(pathPipe[1], line.data(), line.size());
            close(pathPipe[1]);
            char byte = 0;
            while (read(controlPipe[0], &byte, 1) > 0) {
            }
        }
        _exit(0);
    }
    close(pathPipe[1]);
    close(requestPipe[1]);
    close(controlPipe[0]);
    TSimProcess sim;
    sim.Pid = pid;
    sim.Requests = requestPipe[0];
    sim.Control = controlPipe[1];
    char c = 0;
    while (read(pathPipe[0], &c, 1) == 1 && c != '\n') {
        sim.Device += c;
    }
    close(pathPipe[0]);
    if (sim.Device.empty()) {
        std::fprintf(stderr, "bench: the simulator did not start\n");
        std::exit(1);
    }
    return sim;
}

void StopSimulator(TSimProcess& sim) {
    close(sim.Control);
    waitpid(sim.Pid, nullptr, 0);
    close(sim.Requests);
}

// The requests the simulator has reported since the last call. The sequences have ended when this is
// called and the adapter answers before the program collects, so every request is in the pipe.
TCounts TakeCounts(const TSimProcess& sim) {
    TCounts counts;
    usleep(20000); // the simulator's last report of the sequence is on its way
    char buffer[256];
    for (;;) {
        pollfd waiting{sim.Requests, POLLIN, 0};
        if (poll(&waiting, 1, 0) <= 0) {
            break;
        }
        const ssize_t n = read(sim.Requests, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            switch (buffer[i]) {
            case 'I':
                ++counts.Identify;
                break;
            case 'R':
                ++counts.Read;
                break;
            case 'W':
                ++counts.Write;
                break;
            default:
                ++counts.Other;
            }
        }
    }
    return counts;
}

// ---- start-up, in a fresh process

double MeasureStartup(const std::string& self, const std::string& device) {
    int out[2];
    if (pipe(out) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string mode = "--startup-child";
    std::vector<char*> args{const_cast<char*>(self.c_str()), mode.data(), const_cast<char*>(device.c_str()),
                            nullptr};
    pid_t pid = -1;
    const auto start = Clock::now();
    const int error = posix_spawn(&pid, self.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (error != 0) {
        std::fprintf(stderr, "bench: cannot start %s: %s\n", self.c_str(), std::strerror(error));
        std::exit(1);
    }
    std::string line;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    const double seconds = Seconds(Clock::now() - start);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (line != "ready") {
        std::fprintf(stderr, "bench: the start-up child said '%s'\n", line.c_str());
        return -1.0;
    }
    return seconds;
}

// ---- the sequences

void PrintFigure(const char* name, int run, const TSequenceFigure& f, const TCounts& c) {
    std::printf(
        "%-32s run %d: wall %.4f s, waits %.3f s, wall/waits %.4f (target <= 1.02), processor %.4f s, "
        "processor/wall %.4f (target <= 0.01)\n"
        "%-32s        %d waits overran their ends by %.1f ms in all; outside the waits %.1f ms  "
        "[%d identify, %d reads, %d writes]\n",
        name, run, f.Wall, f.Waits, f.Wall / f.Waits, f.Processor, f.Processor / f.Wall, "", f.WaitCount,
        f.Overrun * 1000, (f.Wall - f.InWaits) * 1000, c.Identify, c.Read, c.Write);
}

// The figures of one sequence over the runs.
struct TSeries {
    explicit TSeries(const char* name) : Name(name) {}
    const char* Name;
    std::vector<double> Ratio, Processor, Floor, Overrun, Outside;
    void Add(const TSequenceFigure& f) {
        Ratio.push_back(f.Wall / f.Waits);
        Processor.push_back(f.Processor / f.Wall);
        Floor.push_back((f.Waits + f.WaitCount / 1000.0) / f.Waits);
        Overrun.push_back(f.Overrun * 1000);
        Outside.push_back((f.Wall - f.InWaits) * 1000);
    }
    void Print() const {
        std::printf("  %-25s wall/waits %.4f (target <= 1.02; the ms + 1 floor alone %.4f), processor/wall "
                    "%.4f (target <= 0.01); waits overran by %.1f ms, outside the waits %.1f ms\n",
                    Name, Median(Ratio), Median(Floor), Median(Processor), Median(Overrun), Median(Outside));
    }
};

} // namespace

// Start-up to the main window shown with the port open, in child processes; nothing when this program
// cannot find itself.
std::optional<std::vector<double>> MeasureStartupsAgainst(const TSimProcess& sim) {
    const std::string selfPath = SelfPath();
    if (selfPath.empty()) {
        return std::nullopt;
    }
    std::vector<double> startups =
        MeasureStartups([&] { return MeasureStartup(selfPath, sim.Device); }, " (target <= 0.3)");
    if (!startups.empty()) {
        std::printf("start-up median: %.3f s\n", Median(startups));
    }
    TakeCounts(sim); // the start-ups sent nothing; start counting afresh
    return startups;
}

int main(int argc, char** argv) {
    UseOffscreenWindows();
    if (argc == 3 && std::strcmp(argv[1], "--startup-child") == 0) {
        return StartupChild(argc, argv, argv[2]);
    }
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    // Before any thread exists: the simulator's process.
    TSimProcess sim = StartSimulator();
    std::printf("simulator on %s (a process of its own)\n", sim.Device.c_str());

    const std::optional<std::vector<double>> startups = MeasureStartupsAgainst(sim);
    if (!startups) {
        return 1;
    }

    // The program itself, in this process.
    char folderTemplate[] = "/tmp/rq7-bench.XXXXXX";
    const char* folder = mkdtemp(folderTemplate);
    if (folder == nullptr || chdir(folder) != 0) {
        std::perror("scratch folder");
        return 1;
    }
    TBenchApplication app(argc, argv);
    TMeasuredClock clock;
    auto program =
        OpenProgram(app.Prompts, sim.Device, TLinkParts{{}, &clock, BenchJournalPath(), BenchHistoryPath()});
    if (program == nullptr) {
        return 1;
    }

    TSeries series[] = {TSeries(kSequences[0].Summary), TSeries(kSequences[1].Summary),
                        TSeries(kSequences[2].Summary)};
    RunSequences(
        *program, app.Prompts, runs,
        [&](auto&& sequence) { return MeasureWatched(clock, nullptr, sequence); },
        [&] { return TakeCounts(sim); },
        [&](int sequence, int run, const TSequenceFigure& figure, const TCounts& c) {
            PrintFigure(kSequences[sequence].Run, run, figure, c);
            series[sequence].Add(figure);
        });

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024.0;

    std::printf("\nsummary (medians of %d runs)\n", runs);
    for (const TSeries& one : series) {
        one.Print();
    }
    const int status =
        PrintSummaryEnd(*startups, "peak resident memory:", peakMegabytes, " (target <= 60)", app.Prompts);

    program.reset();
    StopSimulator(sim);
    std::remove("tmp.dat");
    if (chdir("/") == 0) {
        rmdir(folder);
    }
    return status;
}

// The Windows build's figures: how the program spends its time and memory against an adapter on a COM
// port, driving the real windows (offscreen) through TRq7Program with scripted answers, as
// bench_windows does on Linux:
//
//   - the technological mode's opening read, its write (both passwords, no file), and the channel
//     limits window's opening read: wall time against the sum of the waits the program has to make,
//     and processor time against wall time; and where the time above the waits went: each wait's
//     overrun of its end (in all, on average and the largest), the time outside the waits, and the
//     polls of the port's input (300 to a collection) with the processor time they cost;
//   - start-up to the main window shown with its port open, a fresh process each time;
//   - the peak working set of the program through all of that.
//
// The adapter is rq7sim, run by scripts/windows-bench.sh outside Wine on the pseudo-terminal behind
// the COM port, so its work is not counted as the program's; the requests it received, which give
// the sum of waits, are counted in its --verbose log, whose path is the second argument.
// Figures only: nothing passes or fails on time. Under Wine they are Wine's: its serial port, its
// waits and its process start-up are part of them.
//
//   bench_windows_wine PORT SIMULATOR_LOG [runs]        (default 3 runs of each sequence, 5 start-ups)

#include <cstring>
#include <fstream>
#include <string>
#include <vector>
#include <windows.h>
// <psapi.h> needs <windows.h> first.
#include <psapi.h>

#include "bench/BenchSupport.h"
#include "coef/TextFile.h"
#include "link/WaitTimer.h"

namespace {

using namespace rq7bench;

// ---- the requests the simulator logged ("<- request  00 03 01 01 00 02 ...")

class TSimulatorLog {
public:
    explicit TSimulatorLog(std::string path) : path_(std::move(path)) {}

    // The requests logged since the last call. The sequences have ended when this is called and the
    // adapter answers before the program collects, so every request is in the log (a short pause
    // lets the simulator's last line reach the file).
    TCounts Take() {
        Sleep(50);
        std::ifstream log(path_);
        std::string line;
        TCounts all;
        while (std::getline(log, line)) {
            const std::size_t at = line.find("<- request  ");
            if (at == std::string::npos) {
                continue;
            }
            const std::string frame = line.substr(at + 12);
            if (frame.rfind("00 03 00 00", 0) == 0) {
                ++all.Identify;
            } else if (frame.rfind("00 03", 0) == 0) {
                ++all.Read;
            } else if (frame.rfind("00 10", 0) == 0) {
                ++all.Write;
            } else {
                ++all.Other;
            }
        }
        const TCounts since{all.Identify - seen_.Identify, all.Read - seen_.Read, all.Write - seen_.Write,
                            all.Other - seen_.Other};
        seen_ = all;
        return since;
    }

private:
    std::string path_;
    TCounts seen_;
};

// ---- start-up, in a fresh process

double MeasureStartup(const std::wstring& self, const std::string& port) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        std::fprintf(stderr, "bench: CreatePipe failed (%lu)\n", GetLastError());
        std::exit(1);
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring commandLine = L"\"" + self + L"\" --startup-child " +
                               std::wstring(port.begin(), port.end()); // port names are ASCII
    PROCESS_INFORMATION child{};
    const auto start = Clock::now();
    if (!CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child)) {
        std::fprintf(stderr, "bench: cannot start the start-up child (%lu)\n", GetLastError());
        std::exit(1);
    }
    CloseHandle(writeEnd);
    std::string line;
    char c = 0;
    DWORD n = 0;
    while (ReadFile(readEnd, &c, 1, &n, nullptr) && n == 1 && c != '\n') {
        if (c != '\r') {
            line += c;
        }
    }
    const double seconds = Seconds(Clock::now() - start);
    CloseHandle(readEnd);
    WaitForSingleObject(child.hProcess, 30000);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    if (line != "ready") {
        std::fprintf(stderr, "bench: the start-up child said '%s'\n", line.c_str());
        return -1.0;
    }
    return seconds;
}

// ---- the cost of one poll of the port's input

struct TPollCost {
    double Wall = 0, Processor = 0; // seconds per poll
};

// Polls the open port's input many times in a row: the processor time of one poll, measured over
// enough of them that the system's coarse processor clock does not matter.
TPollCost MeasurePollCost(TComPort& port) {
    constexpr int kPolls = 20000;
    const double cpu0 = ProcessorSeconds();
    const auto wall0 = Clock::now();
    for (int i = 0; i < kPolls; ++i) {
        port.BytesWaiting();
    }
    TPollCost cost;
    cost.Wall = Seconds(Clock::now() - wall0) / kPolls;
    cost.Processor = (ProcessorSeconds() - cpu0) / kPolls;
    std::printf("one poll of the port's input (%d in a row): %.2f us wall, %.2f us processor\n", kPolls,
                cost.Wall * 1e6, cost.Processor * 1e6);
    return cost;
}

// ---- the timer alone

// How late the waits' timer ends by itself, without the program around it: sleeps of 50 ms on a timer
// such as the program's clock uses.
void MeasureTimerAlone() {
    constexpr int kSleeps = 40;
    TWaitTimer timer;
    double total = 0, most = 0;
    for (int i = 0; i < kSleeps; ++i) {
        const auto until = Clock::now() + std::chrono::milliseconds(50);
        timer.SleepUntil(until);
        const double late = Seconds(Clock::now() - until) * 1000;
        total += late;
        most = std::max(most, late);
    }
    std::printf("the timer alone: %d sleeps of 50 ms ended %.3f ms late on average, %.3f ms the most\n",
                kSleeps, total / kSleeps, most);
}

// ---- tmp.dat's rewrites

// The channel limits window's opening read rewrites tmp.dat as it starts and after each line it keeps,
// and the file layer syncs each rewrite to disk: such rewrites, timed on their own, in the folder the
// program runs in.
void MeasureBackupRewrites() {
    constexpr int kReads = 5;
    std::vector<double> each;
    for (int read = 0; read < kReads; ++read) {
        std::vector<std::string> lines;
        const auto start = Clock::now();
        WriteTextFileLines("tmp.dat", lines);
        for (int limit = 0; limit < 6; ++limit) {
            lines.push_back("1010");
            WriteTextFileLines("tmp.dat", lines);
        }
        each.push_back(Seconds(Clock::now() - start) * 1000 / 7);
    }
    std::remove("tmp.dat");
    std::printf("tmp.dat rewritten and synced as the channel limits read does: %.2f ms a rewrite (median of "
                "%d series of 7)\n",
                Median(each), kReads);
}

// ---- the sequences

void PrintFigure(const char* name, int run, const TSequenceFigure& f, const TCounts& c,
                 const TPollCost& poll) {
    std::printf("%-34s run %d: wall %.3f s, waits %.3f s, wall/waits %.4f, processor %.3f s, "
                "processor/wall %.4f  [%d identify, %d reads, %d writes]\n"
                "%-34s        %d waits overran their ends by %.1f ms in all (%.3f ms each on average, "
                "%.3f ms the most); outside the waits %.1f ms; %d polls took %.1f ms, processor in them "
                "about %.1f ms; writes %.1f ms, reads %.1f ms\n",
                name, run, f.Wall, f.Waits, f.Wall / f.Waits, f.Processor, f.Processor / f.Wall, c.Identify,
                c.Read, c.Write, "", f.WaitCount, f.Overrun * 1000,
                f.WaitCount > 0 ? f.Overrun * 1000 / f.WaitCount : 0.0, f.LargestOverrun * 1000,
                (f.Wall - f.InWaits) * 1000, f.Polls, f.InPolls * 1000, f.Polls * poll.Processor * 1000,
                f.InWrites * 1000, f.InReads * 1000);
    std::fflush(stdout);
}

// The figures of one sequence over the runs.
struct TSeries {
    std::vector<double> Ratio, Processor, Floor, Overrun, Largest, Outside, InPolls, PollProcessor;
    void Add(const TSequenceFigure& f, const TPollCost& poll) {
        Ratio.push_back(f.Wall / f.Waits);
        Processor.push_back(f.Processor / f.Wall);
        Floor.push_back((f.Waits + f.WaitCount / 1000.0) / f.Waits);
        Overrun.push_back(f.Overrun * 1000);
        Largest.push_back(f.LargestOverrun * 1000);
        Outside.push_back((f.Wall - f.InWaits) * 1000);
        InPolls.push_back(f.InPolls * 1000);
        PollProcessor.push_back(f.Polls * poll.Processor / f.Wall);
    }
    void Print(const char* summary) const {
        const std::string name = std::string(summary) + ":";
        std::printf(
            "  %-25s wall/waits %.4f (the ms + 1 floor alone %.4f), processor/wall %.4f (in the polls "
            "%.4f); waits overran by %.1f ms (the most %.3f ms), outside the waits %.1f ms, in the "
            "polls %.1f ms\n",
            name.c_str(), Median(Ratio), Median(Floor), Median(Processor), Median(PollProcessor),
            Median(Overrun), Median(Largest), Median(Outside), Median(InPolls));
    }
};

} // namespace

int main(int argc, char** argv) {
    UseOffscreenWindows();
    if (argc == 3 && std::strcmp(argv[1], "--startup-child") == 0) {
        return StartupChild(argc, argv, argv[2]);
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_windows_wine PORT SIMULATOR_LOG [runs]\n");
        return 2;
    }
    const std::string port = argv[1];
    TSimulatorLog log(argv[2]);
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;

    wchar_t self[MAX_PATH + 1] = {};
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) {
        std::fprintf(stderr, "bench: GetModuleFileName failed\n");
        return 1;
    }
    const std::vector<double> startups = MeasureStartups([&] { return MeasureStartup(self, port); }, "");
    log.Take(); // the start-ups sent nothing; start counting afresh

    TBenchApplication app(argc, argv);
    TMeasuredClock clock;
    TPollWatch polls;
    auto program = OpenProgram(
        app.Prompts, port, TLinkParts{WatchedDevices(polls), &clock, BenchJournalPath(), BenchHistoryPath()});
    if (program == nullptr) {
        return 1;
    }
    std::printf("the program's waits end by %s\n", TimerPrecisionText(clock.Precision()));
    const TPollCost poll = MeasurePollCost(program->QuorbDataModule->ComPort);
    MeasureTimerAlone();
    MeasureBackupRewrites();

    TSeries series[3];
    RunSequences(
        *program, app.Prompts, runs, [&](auto&& sequence) { return MeasureWatched(clock, &polls, sequence); },
        [&] { return log.Take(); },
        [&](int sequence, int run, const TSequenceFigure& figure, const TCounts& c) {
            PrintFigure(kSequences[sequence].Run, run, figure, c, poll);
            series[sequence].Add(figure, poll);
        });

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    const double peakMegabytes = static_cast<double>(memory.PeakWorkingSetSize) / (1024.0 * 1024.0);

    std::printf("\nsummary (medians of %d runs)\n", runs);
    for (int sequence = 0; sequence < 3; ++sequence) {
        series[sequence].Print(kSequences[sequence].Summary);
    }
    const int status = PrintSummaryEnd(startups, "peak working set:", peakMegabytes, "", app.Prompts);
    program.reset();
    std::remove("tmp.dat");
    return status;
}

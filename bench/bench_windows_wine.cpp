// The Windows build's figures: how the program spends its time and memory against an adapter on a COM
// port, driving the real windows (offscreen) through TRq7Program with scripted answers, as
// bench_windows does on Linux:
//
//   - the technological mode's opening read, its write (both passwords, no file), and the channel
//     limits window's opening read: wall time against the sum of the waits the program has to make,
//     and processor time against wall time;
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

// ---- the sequences

void PrintFigure(const char* name, int run, const TSequenceFigure& f, const TCounts& c) {
    std::printf("%-34s run %d: wall %.3f s, waits %.3f s, wall/waits %.4f, processor %.3f s, "
                "processor/wall %.4f  [%d identify, %d reads, %d writes]\n",
                name, run, f.Wall, f.Waits, f.Wall / f.Waits, f.Processor, f.Processor / f.Wall, c.Identify,
                c.Read, c.Write);
    std::fflush(stdout);
}

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
    auto program = OpenProgram(app.Prompts, port);
    if (program == nullptr) {
        return 1;
    }

    std::vector<double> ratio[3], processor[3];
    RunSequences(
        *program, app.Prompts, runs, [](auto&& sequence) { return MeasureTimes(sequence); },
        [&] { return log.Take(); },
        [&](int sequence, int run, const TSequenceFigure& figure, const TCounts& c) {
            PrintFigure(kSequences[sequence].Run, run, figure, c);
            ratio[sequence].push_back(figure.Wall / figure.Waits);
            processor[sequence].push_back(figure.Processor / figure.Wall);
        });

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    const double peakMegabytes = static_cast<double>(memory.PeakWorkingSetSize) / (1024.0 * 1024.0);

    std::printf("\nsummary (medians of %d runs)\n", runs);
    for (int sequence = 0; sequence < 3; ++sequence) {
        const std::string name = std::string(kSequences[sequence].Summary) + ":";
        std::printf("  %-25s wall/waits %.4f, processor/wall %.4f\n", name.c_str(), Median(ratio[sequence]),
                    Median(processor[sequence]));
    }
    const int status = PrintSummaryEnd(startups, "peak working set:", peakMegabytes, "", app.Prompts);
    program.reset();
    std::remove("tmp.dat");
    return status;
}

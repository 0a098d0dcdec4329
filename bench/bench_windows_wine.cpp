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

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <string>
#include <vector>
#include <windows.h>
// <psapi.h> needs <windows.h> first.
#include <psapi.h>

#include "link/ComPort.h"
#include "link/QuorbData.h"
#include "ui/KoefPotrebUnit.h"
#include "ui/Prompts.h"
#include "ui/Rq7Application.h"
#include "ui/Rq7Program.h"
#include "ui/Rq7Unit.h"
#include "ui/TechKoefUnit.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double ProcessorSeconds() {
    FILETIME created{}, ended{}, kernel{}, user{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) {
        return 0.0;
    }
    auto ticks = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7; // 100 ns ticks
}

// Answers the program's questions and dialogs from queues; records what it shows.
class TBenchPrompts : public IPrompts {
public:
    std::deque<bool> YesNo;
    std::deque<QString> Passwords;
    QStringList Shown;

    void ShowMessage(const QString& text) override { Shown << text; }
    void ShowError(const QString& title, const QString& text) override { Shown << title + ": " + text; }
    bool AskYesNo(const QString& text, QMessageBox::Icon) override {
        if (YesNo.empty()) {
            Shown << "unexpected question: " + text;
            return false;
        }
        const bool answer = YesNo.front();
        YesNo.pop_front();
        return answer;
    }
    QString AskSaveFileName(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
    QString AskOpenFileName(QWidget*, const QString&) override { return {}; }
    // The password dialog: the next password is typed and its OK button pressed.
    int ExecDialog(QDialog& dialog) override {
        dialog.setResult(0);
        dialog.show();
        auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("PaswKoefEdit"));
        auto* button = dialog.findChild<QPushButton*>(QStringLiteral("Button1"));
        if (edit != nullptr && button != nullptr && !Passwords.empty()) {
            edit->setText(Passwords.front());
            Passwords.pop_front();
            button->click();
        }
        dialog.hide();
        return dialog.result();
    }
    QPoint CursorPos() override { return {100, 100}; }
};

// ---- the requests the simulator logged ("<- request  00 03 01 01 00 02 ...")

struct TCounts {
    int Identify = 0, Read = 0, Write = 0, Other = 0;
};

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

// The child: the program's start-up up to the main window shown with its port open; then one line,
// "ready" or the reason, on its standard output.
int StartupChild(int argc, char** argv, const char* port) {
    TRq7Application app(argc, argv);
    app.setApplicationName(ApplicationTitle());
    TBenchPrompts prompts;
    app.SetPrompts(&prompts);
    TRq7Program program(prompts);
    program.Create();
    program.QuorbDataModule->ComPort.SetPort(port);
    program.Rq7Form->show();
    QCoreApplication::processEvents();
    const bool ready = program.Rq7Form->isVisible() && program.QuorbDataModule->ComPort.Connected();
    std::printf("%s\n", ready ? "ready" : "not ready");
    std::fflush(stdout);
    return ready ? 0 : 1;
}

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

struct TSequenceFigure {
    double Wall = 0, Waits = 0, Processor = 0;
};

void PrintFigure(const char* name, int run, const TSequenceFigure& f, const TCounts& c) {
    std::printf("%-34s run %d: wall %.3f s, waits %.3f s, wall/waits %.4f, processor %.3f s, "
                "processor/wall %.4f  [%d identify, %d reads, %d writes]\n",
                name, run, f.Wall, f.Waits, f.Wall / f.Waits, f.Processor, f.Processor / f.Wall, c.Identify,
                c.Read, c.Write);
    std::fflush(stdout);
}

template <typename F> TSequenceFigure Measure(F&& sequence) {
    TSequenceFigure figure;
    const double cpu0 = ProcessorSeconds();
    const auto wall0 = Clock::now();
    sequence();
    figure.Wall = Seconds(Clock::now() - wall0);
    figure.Processor = ProcessorSeconds() - cpu0;
    return figure;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void QuietQtNotes(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    }
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        _putenv("QT_QPA_PLATFORM=offscreen");
    }
    qInstallMessageHandler(QuietQtNotes);
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
    std::vector<double> startups;
    for (int run = 1; run <= 5; ++run) {
        const double seconds = MeasureStartup(self, port);
        if (seconds >= 0) {
            std::printf("start-up to the main window with the port open, run %d: %.3f s\n", run, seconds);
            startups.push_back(seconds);
        }
    }
    log.Take(); // the start-ups sent nothing; start counting afresh

    TRq7Application app(argc, argv);
    app.setApplicationName(ApplicationTitle());
    TBenchPrompts prompts;
    app.SetPrompts(&prompts);
    auto program = std::make_unique<TRq7Program>(prompts);
    program->Create();
    program->QuorbDataModule->ComPort.SetPort(port);
    program->Rq7Form->show();
    QCoreApplication::processEvents();
    if (!program->QuorbDataModule->ComPort.Connected()) {
        std::fprintf(stderr, "bench: the port %s did not open\n", port.c_str());
        return 1;
    }

    std::vector<double> readRatio, writeRatio, limitsRatio, readCpu, writeCpu, limitsCpu;
    for (int run = 1; run <= runs; ++run) {
        // Waits: identify 50 ms, each slot read 100 + 20 ms, after each slot 50 ms.
        prompts.Passwords = {QStringLiteral("Vosek")};
        TSequenceFigure read = Measure([&] { program->TehForm->N5Click(); });
        TCounts c = log.Take();
        read.Waits = (c.Identify * 50 + c.Read * 120 + 16 * 50) / 1000.0;
        PrintFigure("technological mode opening read", run, read, c);
        readRatio.push_back(read.Wall / read.Waits);
        readCpu.push_back(read.Processor / read.Wall);

        // No file, the second password, "Да" to programming. Waits: each slot write 80 + 20 ms,
        // after each slot 80 ms.
        prompts.YesNo = {false, true};
        prompts.Passwords = {QStringLiteral("Trimel")};
        TSequenceFigure write = Measure([&] { program->TehForm->WriteButtonClick(); });
        c = log.Take();
        write.Waits = (c.Write * 100 + 16 * 80) / 1000.0;
        PrintFigure("technological mode write", run, write, c);
        writeRatio.push_back(write.Wall / write.Waits);
        writeCpu.push_back(write.Processor / write.Wall);

        // Waits: identify 50 ms, each slot read 100 + 20 ms, after each slot 100 ms.
        TSequenceFigure limits = Measure([&] { program->KoefForPotreb->N4Click(); });
        c = log.Take();
        limits.Waits = (c.Identify * 50 + c.Read * 120 + 16 * 100) / 1000.0;
        PrintFigure("channel limits opening read", run, limits, c);
        limitsRatio.push_back(limits.Wall / limits.Waits);
        limitsCpu.push_back(limits.Processor / limits.Wall);
    }

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    const double peakMegabytes = static_cast<double>(memory.PeakWorkingSetSize) / (1024.0 * 1024.0);

    std::printf("\nsummary (medians of %d runs)\n", runs);
    std::printf("  technological mode read:  wall/waits %.4f, processor/wall %.4f\n", Median(readRatio),
                Median(readCpu));
    std::printf("  technological mode write: wall/waits %.4f, processor/wall %.4f\n", Median(writeRatio),
                Median(writeCpu));
    std::printf("  channel limits read:      wall/waits %.4f, processor/wall %.4f\n", Median(limitsRatio),
                Median(limitsCpu));
    if (!startups.empty()) {
        std::printf("  start-up:                 %.3f s\n", Median(startups));
    }
    std::printf("  peak working set:         %.1f MB\n", peakMegabytes);
    if (!prompts.Shown.isEmpty()) {
        std::printf("messages shown (none expected): %s\n",
                    prompts.Shown.join(QStringLiteral(" | ")).toUtf8().constData());
    }
    std::fflush(stdout);
    program.reset();
    std::remove("tmp.dat");
    return prompts.Shown.isEmpty() ? 0 : 1;
}

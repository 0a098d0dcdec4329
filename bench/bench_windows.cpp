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

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "link/ComPort.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "sim/Simulator.h"
#include "ui/KoefPotrebUnit.h"
#include "ui/MessageClock.h"
#include "ui/Prompts.h"
#include "ui/Rq7Application.h"
#include "ui/Rq7Program.h"
#include "ui/Rq7Unit.h"
#include "ui/TechKoefUnit.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double ProcessorSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
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

// The program's own clock, measured: how many waits there were, how long they took in all, and by how
// much they overran their ends (a wait ends once more than its milliseconds have passed: the first
// moment at or after its end).
class TMeasuredClock : public TMessageClock {
public:
    int Waits = 0;
    Clock::duration InWaits{}, Overrun{};

    TTime Now() override { return clock_.Now(); }
    void WaitForMessages(TTime until) override {
        if (until != until_) {
            until_ = until;
            started_ = clock_.Now();
        }
        clock_.WaitForMessages(until);
        const TTime now = clock_.Now();
        if (now >= until) {
            ++Waits;
            InWaits += now - started_;
            Overrun += now - until;
            until_ = TTime{};
        }
    }
    void Reset() {
        Waits = 0;
        InWaits = Overrun = Clock::duration{};
    }

private:
    TQtMessageClock clock_;
    TTime until_{}, started_{};
};

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

struct TCounts {
    int Identify = 0, Read = 0, Write = 0, Other = 0;
};

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

// The child: the program's start-up up to the main window shown with its port open; then one line,
// "ready" or the reason, on its standard output.
int StartupChild(int argc, char** argv, const char* device) {
    TRq7Application app(argc, argv);
    app.setApplicationName(ApplicationTitle());
    TBenchPrompts prompts;
    app.SetPrompts(&prompts);
    TRq7Program program(prompts);
    program.Create();
    program.QuorbDataModule->ComPort.SetPort(device);
    program.Rq7Form->show();
    QCoreApplication::processEvents();
    const bool ready = program.Rq7Form->isVisible() && program.QuorbDataModule->ComPort.Connected();
    std::printf("%s\n", ready ? "ready" : "not ready");
    std::fflush(stdout);
    return ready ? 0 : 1;
}

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

struct TSequenceFigure {
    double Wall = 0, Waits = 0, Processor = 0;
    int WaitCount = 0;
    double InWaits = 0, Overrun = 0;
};

void PrintFigure(const char* name, int run, const TSequenceFigure& f, const TCounts& c) {
    std::printf(
        "%-32s run %d: wall %.4f s, waits %.3f s, wall/waits %.4f (target <= 1.02), processor %.4f s, "
        "processor/wall %.4f (target <= 0.01)\n"
        "%-32s        %d waits overran their ends by %.1f ms in all; outside the waits %.1f ms  "
        "[%d identify, %d reads, %d writes]\n",
        name, run, f.Wall, f.Waits, f.Wall / f.Waits, f.Processor, f.Processor / f.Wall, "", f.WaitCount,
        f.Overrun * 1000, (f.Wall - f.InWaits) * 1000, c.Identify, c.Read, c.Write);
}

template <typename F> TSequenceFigure Measure(TMeasuredClock& clock, F&& sequence) {
    TSequenceFigure figure;
    clock.Reset();
    const double cpu0 = ProcessorSeconds();
    const auto wall0 = Clock::now();
    sequence();
    figure.Wall = Seconds(Clock::now() - wall0);
    figure.Processor = ProcessorSeconds() - cpu0;
    figure.WaitCount = clock.Waits;
    figure.InWaits = Seconds(clock.InWaits);
    figure.Overrun = Seconds(clock.Overrun);
    return figure;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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

// The offscreen platform's notes ("This plugin does not support raise()") would bury the figures.
void QuietQtNotes(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    }
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    qInstallMessageHandler(QuietQtNotes);
    if (argc == 3 && std::strcmp(argv[1], "--startup-child") == 0) {
        return StartupChild(argc, argv, argv[2]);
    }
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    // Before any thread exists: the simulator's process.
    TSimProcess sim = StartSimulator();
    std::printf("simulator on %s (a process of its own)\n", sim.Device.c_str());

    // Start-up to the main window shown with the port open.
    char selfPath[4096] = {};
    const ssize_t selfLength = readlink("/proc/self/exe", selfPath, sizeof selfPath - 1);
    if (selfLength <= 0) {
        std::perror("readlink /proc/self/exe");
        return 1;
    }
    std::vector<double> startups;
    for (int run = 1; run <= 5; ++run) {
        const double seconds = MeasureStartup(selfPath, sim.Device);
        if (seconds >= 0) {
            std::printf("start-up to the main window with the port open, run %d: %.3f s (target <= 0.3)\n",
                        run, seconds);
            startups.push_back(seconds);
        }
    }
    if (!startups.empty()) {
        std::printf("start-up median: %.3f s\n", Median(startups));
    }
    TakeCounts(sim); // the start-ups sent nothing; start counting afresh

    // The program itself, in this process.
    char folderTemplate[] = "/tmp/rq7-bench.XXXXXX";
    const char* folder = mkdtemp(folderTemplate);
    if (folder == nullptr || chdir(folder) != 0) {
        std::perror("scratch folder");
        return 1;
    }
    TRq7Application app(argc, argv);
    app.setApplicationName(ApplicationTitle());
    TBenchPrompts prompts;
    app.SetPrompts(&prompts);
    TMeasuredClock clock;
    auto program = std::make_unique<TRq7Program>(prompts, TLinkParts{{}, &clock});
    program->Create();
    program->QuorbDataModule->ComPort.SetPort(sim.Device);
    program->Rq7Form->show();
    QCoreApplication::processEvents();
    if (!program->QuorbDataModule->ComPort.Connected()) {
        std::fprintf(stderr, "bench: the port did not open\n");
        return 1;
    }

    TSeries read("technological mode read"), write("technological mode write"), limits("channel limits read");
    for (int run = 1; run <= runs; ++run) {
        // Technological mode: the first password, then the opening read. Waits: identify 50 ms, each
        // slot read 100 + 20 ms, after each slot 50 ms.
        prompts.Passwords = {QStringLiteral("Vosek")};
        TSequenceFigure figure = Measure(clock, [&] { program->TehForm->N5Click(); });
        TCounts c = TakeCounts(sim);
        figure.Waits = (c.Identify * 50 + c.Read * 120 + 16 * 50) / 1000.0;
        PrintFigure("technological mode opening read", run, figure, c);
        read.Add(figure);

        // Its write: no file, the second password, "Да" to programming. Waits: each slot write
        // 80 + 20 ms, after each slot 80 ms.
        prompts.YesNo = {false, true};
        prompts.Passwords = {QStringLiteral("Trimel")};
        figure = Measure(clock, [&] { program->TehForm->WriteButtonClick(); });
        c = TakeCounts(sim);
        figure.Waits = (c.Write * 100 + 16 * 80) / 1000.0;
        PrintFigure("technological mode write", run, figure, c);
        write.Add(figure);

        // Channel limits: the opening read with tmp.dat. Waits: identify 50 ms, each slot read
        // 100 + 20 ms, after each slot 100 ms.
        figure = Measure(clock, [&] { program->KoefForPotreb->N4Click(); });
        c = TakeCounts(sim);
        figure.Waits = (c.Identify * 50 + c.Read * 120 + 16 * 100) / 1000.0;
        PrintFigure("channel limits opening read", run, figure, c);
        limits.Add(figure);
    }

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024.0;

    std::printf("\nsummary (medians of %d runs)\n", runs);
    for (const TSeries* series : {&read, &write, &limits}) {
        series->Print();
    }
    if (!startups.empty()) {
        std::printf("  start-up:                 %.3f s\n", Median(startups));
    }
    std::printf("  peak resident memory:     %.1f MB (target <= 60)\n", peakMegabytes);
    if (!prompts.Shown.isEmpty()) {
        std::printf("messages shown (none expected): %s\n",
                    prompts.Shown.join(QStringLiteral(" | ")).toUtf8().constData());
    }

    program.reset();
    StopSimulator(sim);
    std::remove("tmp.dat");
    if (chdir("/") == 0) {
        rmdir(folder);
    }
    return prompts.Shown.isEmpty() ? 0 : 1;
}

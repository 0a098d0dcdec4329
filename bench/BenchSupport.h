#pragma once
// What the benchmark programs share: the clocks they read, the program's own clock measured and its
// port's polls watched, the scripted answers to the program's questions and dialogs, the program's start-up
// in a child process, and the three sequences they measure (the technological mode's opening read and its
// write, the channel limits window's opening read) with the sum of the waits each has to make. Each program
// keeps its own way of counting the adapter's requests and of printing its figures.

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#else
#include <ctime>
#include <unistd.h>
#endif

#include "link/ComPort.h"
#include "link/QuorbData.h"
#include "link/SerialBackend.h"
#include "ui/KoefPotrebUnit.h"
#include "ui/MessageClock.h"
#include "ui/Prompts.h"
#include "ui/Rq7Application.h"
#include "ui/Rq7Program.h"
#include "ui/Rq7Unit.h"
#include "ui/TechKoefUnit.h"

namespace rq7bench {

using Clock = std::chrono::steady_clock;

// The journal of the limits writes the benchmark makes: beside the system's temporary files, not in the
// user's data folder.
inline std::string BenchJournalPath() {
    const char* tmp = std::getenv("TMPDIR");
#ifdef _WIN32
    if (tmp == nullptr) {
        tmp = std::getenv("TEMP");
    }
#endif
    return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/rq7-bench-journal.txt";
}

// The service record's store of the benchmarks' programs, beside their journal (never the user's).
inline std::string BenchHistoryPath() {
    const std::string journal = BenchJournalPath();
    return journal.substr(0, journal.size() - std::string("journal.txt").size()) + "history.sqlite";
}

inline double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The processor time this process has used, in seconds.
inline double ProcessorSeconds() {
#ifdef _WIN32
    FILETIME created{}, ended{}, kernel{}, user{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) {
        return 0.0;
    }
    auto ticks = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7; // 100 ns ticks
#else
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
#endif
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The offscreen platform's notes ("This plugin does not support raise()", no runtime folder under
// root) would bury the figures: only critical ones are printed.
inline void QuietQtNotes(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    }
}

// The windows are drawn offscreen unless a platform is named, and Qt's notes are kept quiet.
inline void UseOffscreenWindows() {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
#ifdef _WIN32
        _putenv("QT_QPA_PLATFORM=offscreen");
#else
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
#endif
    }
    qInstallMessageHandler(QuietQtNotes);
}

#ifndef _WIN32
// The path of this program, for starting it again as a child; empty, with the reason printed, when it
// cannot be read.
inline std::string SelfPath() {
    char path[4096] = {};
    if (readlink("/proc/self/exe", path, sizeof path - 1) <= 0) {
        std::perror("readlink /proc/self/exe");
        return {};
    }
    return path;
}
#endif

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

// The application, titled as the program is, with its questions and dialogs answered by Prompts.
struct TBenchApplication {
    TBenchApplication(int& argc, char** argv) : App(argc, argv) {
        App.setApplicationName(ApplicationTitle());
        App.SetPrompts(&Prompts);
    }
    TBenchPrompts Prompts;
    TRq7Application App;
};

// Creates the program in this process and opens `port` as the main window is shown; null, with the
// reason printed, unless the main window is shown with the port open.
inline std::unique_ptr<TRq7Program> OpenProgram(TBenchPrompts& prompts, const std::string& port,
                                                TLinkParts parts = {}) {
    auto program = std::make_unique<TRq7Program>(prompts, parts);
    program->Create();
    program->QuorbDataModule->ComPort.SetPort(port);
    program->Rq7Form->show();
    QCoreApplication::processEvents();
    if (!program->Rq7Form->isVisible() || !program->QuorbDataModule->ComPort.Connected()) {
        std::fprintf(stderr, "bench: the main window is not shown with the port %s open\n", port.c_str());
        return nullptr;
    }
    return program;
}

// The start-up child: the program's start-up up to the main window shown with its port open; then
// one line, "ready" or the reason, on its standard output.
inline int StartupChild(int argc, char** argv, const char* port) {
    TBenchApplication app(argc, argv);
    const bool ready = OpenProgram(app.Prompts, port) != nullptr;
    std::printf("%s\n", ready ? "ready" : "not ready");
    std::fflush(stdout);
    return ready ? 0 : 1;
}

// Five start-ups, each timed by `startOnce` (a negative figure: it failed), printed with `note`
// after each figure; returns the figures of those that succeeded.
template <typename F> std::vector<double> MeasureStartups(F&& startOnce, const char* note) {
    std::vector<double> startups;
    for (int run = 1; run <= 5; ++run) {
        const double seconds = startOnce();
        if (seconds >= 0) {
            std::printf("start-up to the main window with the port open, run %d: %.3f s%s\n", run, seconds,
                        note);
            startups.push_back(seconds);
        }
    }
    return startups;
}

// The requests the adapter received, by kind.
struct TCounts {
    int Identify = 0, Read = 0, Write = 0, Other = 0;
};

struct TSequenceFigure {
    double Wall = 0, Waits = 0, Processor = 0;
    int WaitCount = 0;                // the waits the program's clock counted, where it is measured
    double InWaits = 0, Overrun = 0;  // in them, and beyond their ends
    double LargestOverrun = 0;        // the one wait that ran furthest past its end
    int Polls = 0;                    // the polls of the port's input, where they are watched
    double InPolls = 0;               // and the time spent in them
    double InWrites = 0, InReads = 0; // the time spent in the port's writes and reads
};

// The program's own clock, measured: how many waits there were, how long they took in all, and by how
// much they overran their ends (a wait ends once more than its milliseconds have passed: the first
// moment at or after its end).
class TMeasuredClock : public TMessageClock {
public:
    int Waits = 0;
    Clock::duration InWaits{}, Overrun{}, LargestOverrun{};

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
            LargestOverrun = std::max(LargestOverrun, now - until);
            until_ = TTime{};
        }
    }
    void Reset() {
        Waits = 0;
        InWaits = Overrun = LargestOverrun = Clock::duration{};
    }
    TTimerPrecision Precision() const { return clock_.Precision(); }

private:
    TQtMessageClock clock_;
    TTime until_{}, started_{};
};

// The polls of the port's input (BytesWaiting, 300 to a collection) that the program makes, counted and
// timed as they pass to the real device, and the time its writes and reads take.
struct TPollWatch {
    int Polls = 0;
    Clock::duration InPolls{}, InWrites{}, InReads{};
    void Reset() {
        Polls = 0;
        InPolls = InWrites = InReads = Clock::duration{};
    }
};

class TWatchedDevice final : public TSerialDevice {
public:
    TWatchedDevice(std::unique_ptr<TSerialDevice> inner, TPollWatch& watch)
        : inner_(std::move(inner)), watch_(watch) {}
    void SetQueueSizes(std::int32_t in, std::int32_t out) override { inner_->SetQueueSizes(in, out); }
    void SetLineSettings(const TLineSettings& settings) override { inner_->SetLineSettings(settings); }
    void SetTimeouts(const TTimeoutSettings& timeouts) override { inner_->SetTimeouts(timeouts); }
    void AbortPending() override { inner_->AbortPending(); }
    std::int32_t Write(const void* buffer, std::int32_t count) override {
        const auto start = Clock::now();
        const std::int32_t written = inner_->Write(buffer, count);
        watch_.InWrites += Clock::now() - start;
        return written;
    }
    std::int32_t Waiting() override {
        const auto start = Clock::now();
        const std::int32_t waiting = inner_->Waiting();
        watch_.InPolls += Clock::now() - start;
        ++watch_.Polls;
        return waiting;
    }
    std::int32_t Read(char* buffer, std::int32_t count) override {
        const auto start = Clock::now();
        const std::int32_t read = inner_->Read(buffer, count);
        watch_.InReads += Clock::now() - start;
        return read;
    }
    void WaitForEvent(TComEvents& events, const TStopEvent* stop, std::int32_t timeoutMs) override {
        inner_->WaitForEvent(events, stop, timeoutMs);
    }
    bool Gone() const override { return inner_->Gone(); }

private:
    std::unique_ptr<TSerialDevice> inner_;
    TPollWatch& watch_;
};

// Opens the system's serial devices, watched by watch.
inline TSerialDeviceOpener WatchedDevices(TPollWatch& watch) {
    return [&watch](const std::string& name) {
        return std::make_unique<TWatchedDevice>(OpenSerialDevice(name), watch);
    };
}

// Wall and processor time of one sequence.
template <typename F> TSequenceFigure MeasureTimes(F&& sequence) {
    TSequenceFigure figure;
    const double cpu0 = ProcessorSeconds();
    const auto wall0 = Clock::now();
    sequence();
    figure.Wall = Seconds(Clock::now() - wall0);
    figure.Processor = ProcessorSeconds() - cpu0;
    return figure;
}

// The times of one sequence, the waits the program's clock made in it and the polls of the port.
template <typename F> TSequenceFigure MeasureWatched(TMeasuredClock& clock, TPollWatch* polls, F&& sequence) {
    clock.Reset();
    if (polls != nullptr) {
        polls->Reset();
    }
    TSequenceFigure figure = MeasureTimes(sequence);
    figure.WaitCount = clock.Waits;
    figure.InWaits = Seconds(clock.InWaits);
    figure.Overrun = Seconds(clock.Overrun);
    figure.LargestOverrun = Seconds(clock.LargestOverrun);
    if (polls != nullptr) {
        figure.Polls = polls->Polls;
        figure.InPolls = Seconds(polls->InPolls);
        figure.InWrites = Seconds(polls->InWrites);
        figure.InReads = Seconds(polls->InReads);
    }
    return figure;
}

// One of the measured sequences: its name in the lines of each run and in the summary.
struct TSequenceName {
    const char* Run;
    const char* Summary;
};
inline constexpr TSequenceName kSequences[3] = {
    {"technological mode opening read", "technological mode read"},
    {"technological mode write", "technological mode write"},
    {"channel limits opening read", "channel limits read"},
};

// The three sequences, one after another, `runs` times, on a program whose port is open. `measure`
// runs a sequence and returns its figure, `take` returns the requests the adapter has received since
// its last call, and `record(index into kSequences, run, figure, counts)` is given each figure with
// the sum of the waits that the requests made call for.
template <typename Measure, typename Take, typename Record>
void RunSequences(TRq7Program& program, TBenchPrompts& prompts, int runs, Measure&& measure, Take&& take,
                  Record&& record) {
    for (int run = 1; run <= runs; ++run) {
        // Technological mode: the first password, then the opening read. Waits: identify 50 ms, each
        // slot read 100 + 20 ms, after each slot 50 ms.
        prompts.Passwords = {QStringLiteral("Vosek")};
        TSequenceFigure figure = measure([&] { program.TehForm->N5Click(); });
        TCounts c = take();
        figure.Waits = (c.Identify * 50 + c.Read * 120 + 16 * 50) / 1000.0;
        record(0, run, figure, c);

        // Its write: no file, the second password, "Да" to programming. Waits: each slot write
        // 80 + 20 ms, after each slot 80 ms.
        prompts.YesNo = {false, true};
        prompts.Passwords = {QStringLiteral("Trimel")};
        figure = measure([&] { program.TehForm->WriteButtonClick(); });
        c = take();
        figure.Waits = (c.Write * 100 + 16 * 80) / 1000.0;
        record(1, run, figure, c);

        // Channel limits: the opening read with tmp.dat. Waits: identify 50 ms, each slot read
        // 100 + 20 ms, after each slot 100 ms.
        figure = measure([&] { program.KoefForPotreb->N4Click(); });
        c = take();
        figure.Waits = (c.Identify * 50 + c.Read * 120 + 16 * 100) / 1000.0;
        record(2, run, figure, c);
    }
}

// The last lines of a summary: the start-up median, if any, the peak memory (`peak` is its label,
// `note` follows the figure) and the messages the program showed. Returns the program's exit
// status: 0 when it showed none, as none is expected.
inline int PrintSummaryEnd(const std::vector<double>& startups, const char* peak, double peakMegabytes,
                           const char* note, const TBenchPrompts& prompts) {
    if (!startups.empty()) {
        std::printf("  %-26s%.3f s\n", "start-up:", Median(startups));
    }
    std::printf("  %-26s%.1f MB%s\n", peak, peakMegabytes, note);
    if (!prompts.Shown.isEmpty()) {
        std::printf("messages shown (none expected): %s\n",
                    prompts.Shown.join(QStringLiteral(" | ")).toUtf8().constData());
    }
    std::fflush(stdout);
    return prompts.Shown.isEmpty() ? 0 : 1;
}

} // namespace rq7bench

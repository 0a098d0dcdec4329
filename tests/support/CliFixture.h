#pragma once
// rq7cli run in-process against the adapter simulator on the watched line (no real time in its waits).

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Rq7Cli.h"
#include "coef/TextFile.h"
#include "link/StopEvent.h"
#include "sim/SimBlock.h"
#include "sim/Simulator.h"
#include "support/Files.h"
#include "support/WatchedLine.h"

struct TCliRun {
    int Code = -1;
    std::string Out;
    std::string Err;
};

// The bytes of a slot as the simulator keeps them.
// True when the block's end slot holds the marker and the checksum of slots 1..15.
inline bool SimImageSealed(const TSimImage& image) {
    TSimImage sealed = image;
    SealSimImage(sealed);
    return sealed == image;
}

inline std::string SlotHex(const TSimSlot& slot) {
    return SimHexText(slot.data(), slot.size());
}

// The tech window's read: identify, then per slot its request and its three waits.
inline std::vector<std::string> TechnologicalReadJournal() {
    std::vector<std::string> journal = {"identify", TWatchedLine::Wait(50)};
    for (int k = 1; k <= 16; ++k) {
        journal.insert(journal.end(), {"read slot " + std::to_string(k), TWatchedLine::Wait(100),
                                       TWatchedLine::Wait(20), TWatchedLine::Wait(50)});
    }
    return journal;
}

class CliTest : public testing::Test {
protected:
    TAdapterSimulator Sim;
    TWatchedLine Line{Sim};
    TempDir Dir;
    // The stop event the program connects to Ctrl+C while its port is open.
    std::atomic<TStopEvent*> Stop{nullptr};
    TLocalTime Now{2024, 5, 6, 7, 8, 10};

    // The context every run of the fixture has: the watched line, the folder's made-up system, the fixed
    // clock, the stop event kept for the test, the journal in the folder.
    TCliContext MakeContext(std::istream& in, std::ostream& out, std::ostream& err) {
        TCliContext context{in, out, err, Line.Clock()};
        context.Opener = Line.Opener();
        context.Roots = TSystemRoots{Dir / "sys", Dir / "dev", Dir / "reg"};
        context.LocalNow = [this] { return Now; };
        context.ConnectStop = [this](TStopEvent* stop) { Stop = stop; };
        context.JournalPath = Dir / "journal.txt";
        context.HistoryPath = Dir / "history.sqlite";
        return context;
    }
    TCliRun RunArgs(std::vector<std::string> args, const std::string& input = "") {
        std::istringstream in(input);
        std::ostringstream out;
        std::ostringstream err;
        TCliContext context = MakeContext(in, out, err);
        args.insert(args.begin(), "rq7cli");
        TCliRun run;
        run.Code = RunRq7Cli(args, context);
        run.Out = out.str();
        run.Err = err.str();
        return run;
    }
    // The command on the simulator's port.
    TCliRun Run(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.end(), {"--port", Sim.DevicePath()});
        return RunArgs(std::move(args), input);
    }
    // Ctrl+C as the simulator receives a request matching match.
    void InterruptWhen(const TSimMatch& match) {
        Sim.AddRule(match, TSimAction::Notify([this] {
                        if (TStopEvent* stop = Stop.load()) {
                            stop->Interrupt();
                        }
                    }));
    }
    // Signals the stop event (as SIGTERM does) as the simulator receives requests matching match.
    void StopWhen(const TSimMatch& match) {
        Sim.AddRule(match, TSimAction::Notify([this] {
                        if (TStopEvent* stop = Stop.load()) {
                            stop->Signal();
                        }
                    }));
    }
    QJsonObject ReadJson() {
        const TCliRun run = Run({"read", "--json"});
        EXPECT_EQ(run.Code, 0) << run.Err;
        return QJsonDocument::fromJson(QByteArray::fromStdString(run.Out)).object();
    }
    // A coefficient file with the given lines (UTF-8 in, Windows-1251 on disk).
    std::string CoefFile(const std::vector<std::string>& lines) {
        const std::string path = Dir / "coef.dat";
        WriteTextFileLines(path, lines);
        return path;
    }
    static std::vector<std::string> ValidLines() {
        return {"1",       "01/02/2020(10:11:12)",
                "0202002", "500",
                "0.5",     "16.001",
                "4.002",   "90",
                "-45.5",   "16.003",
                "4.004",   "300",
                "1.25",    "15.99",
                "3.98"};
    }
};

// Prints what the service record costs, in a store of 100 000 records in a temporary folder:
//
//   - recording a write: the record made before the first write request (as found, the block to send,
//     outcome "begun") and the one with its outcome, with the store opened for them (as rq7cli does once
//     per command) and on a store already open (as the windows keep it): wall time, and the growth of
//     the process's peak resident memory over the first such recording;
//   - one adapter's history (100 of the 100 000 records) newest first, and the newest write to it.
//
// The 100 000 records are copies of records appended by the store, made in one transaction by plain SQL
// in a child process (appending them one by one, each waiting for the disk, would take minutes); the
// copies carry the hashes of their originals, so the chain is not checked here.
// Figures only: nothing passes or fails.
//
//   bench_record [RECORDS]      (default 100000)

#include <QDir>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "link/CoefSequence.h"
#include "record/RecordStore.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kAdapters = 1000;
constexpr std::int64_t kFirstFactoryNumber = 100000;

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

long PeakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TCoefImageBytes SomeImage(std::uint8_t seed) {
    TCoefImageBytes image{};
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return image;
}

// The two records of one write of adapter factoryNumber, appended as rq7cli appends them.
void RecordWrite(TRecordStore& store, std::int64_t factoryNumber) {
    TServiceRecord begun = NewRecord(TRecordOperation::Write, "rq7cli 0.1.0", "/dev/ttyUSB0", "Иванов И. И.");
    begun.FactoryNumber = factoryNumber;
    begun.AsFound = AsFoundOf(SomeImage(1), true, RecordTimeNow());
    TWriteReport notYet;
    begun.AsLeft = AsLeftOf(SomeImage(2), notYet, std::nullopt);
    begun.Outcome = {std::nullopt, kOutcomeBegun};
    begun.File = TRecordedFile{"коэф.txt", std::string(64, 'c')};
    store.Append(begun);

    TServiceRecord done = begun;
    TWriteReport report;
    report.Begun = true;
    report.States.fill(TSlotState::New);
    done.Time = RecordTimeNow();
    done.AsLeft = AsLeftOf(SomeImage(2), report, true);
    done.Outcome = {0, "Записано"};
    store.Append(done);
}

// Fills the store with `records` records in a child process, so that this one's memory stays as it was.
bool FillStore(const std::string& path, int records) {
    const pid_t child = fork();
    if (child == 0) {
        int rc = 1;
        try {
            {
                TRecordStore store(path);
                for (int i = 0; i < 50; ++i) { // writes and reads, as a day's work leaves them
                    RecordWrite(store, kFirstFactoryNumber + i);
                }
            }
            sqlite3* db = nullptr;
            sqlite3_open(path.c_str(), &db);
            const std::string sql =
                "BEGIN; "
                "WITH RECURSIVE n(i) AS (SELECT 101 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                std::to_string(records) +
                ") "
                "INSERT INTO service_record SELECT n.i, r.made_at, r.station, r.user_name, r.program, "
                "r.port, "
                "r.operation, " +
                std::to_string(kFirstFactoryNumber) + " + n.i % " + std::to_string(kAdapters) +
                ", r.as_found, r.as_left, r.outcome_code, r.outcome_message, r.file_name, r.file_sha256, "
                "r.previous_hash, r.hash FROM n JOIN service_record r ON r.id = 1 + n.i % 100; "
                "UPDATE chain_head SET last_id = " +
                std::to_string(records) + "; COMMIT;";
            char* error = nullptr;
            rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK ? 0 : 1;
            if (error != nullptr) {
                std::fprintf(stderr, "fill: %s\n", error);
            }
            sqlite3_free(error);
            sqlite3_close(db);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "fill: %s\n", e.what());
        }
        _exit(rc);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct TFigures {
    double Median = 0;
    double Max = 0;
};

template <typename F> TFigures Timed(int times, F&& f) {
    std::vector<double> ms;
    for (int i = 0; i < times; ++i) {
        const auto start = Clock::now();
        f(i);
        ms.push_back(Milliseconds(Clock::now() - start));
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

} // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 100000;
    QTemporaryDir dir(QDir::tempPath() + "/rq7-bench-record-XXXXXX");
    const std::string path = dir.filePath("rq7-history.sqlite").toStdString();
    const auto fillStart = Clock::now();
    if (records < 200 || !FillStore(path, records)) {
        std::fprintf(stderr, "bench_record: could not fill a store of %d records\n", records);
        return 1;
    }
    std::printf("store of %d records (%d adapters) filled in %.1f s\n", records, kAdapters,
                Milliseconds(Clock::now() - fillStart) / 1000);

    const long peakBefore = PeakKilobytes();
    const auto firstStart = Clock::now();
    {
        TRecordStore store(path);
        RecordWrite(store, kFirstFactoryNumber + 7);
    }
    const double firstMs = Milliseconds(Clock::now() - firstStart);
    const long peakGrowth = PeakKilobytes() - peakBefore;
    std::printf("recording a write, first in this process (open + 2 records): %.2f ms, peak RSS +%.2f MB\n",
                firstMs, peakGrowth / 1024.0);

    const TFigures withOpen = Timed(30, [&](int i) {
        TRecordStore store(path);
        RecordWrite(store, kFirstFactoryNumber + i);
    });
    std::printf("recording a write (open + 2 records), 30 times: median %.2f ms, max %.2f ms\n",
                withOpen.Median, withOpen.Max);
    const TFigures openClose = Timed(30, [&](int) { TRecordStore opened(path); });
    std::printf("opening and closing the store, 30 times: median %.2f ms, max %.2f ms\n", openClose.Median,
                openClose.Max);
    TRecordStore store(path);
    const TFigures open = Timed(30, [&](int i) { RecordWrite(store, kFirstFactoryNumber + i); });
    std::printf("recording a write (store open, 2 records), 30 times: median %.2f ms, max %.2f ms\n",
                open.Median, open.Max);
    std::printf("peak RSS growth of all the recording above: +%.2f MB (target: 20 ms, 5 MB)\n",
                (PeakKilobytes() - peakBefore) / 1024.0);

    std::size_t found = 0;
    const TFigures history = Timed(20, [&](int i) {
        TRecordFilter filter;
        filter.FactoryNumber = kFirstFactoryNumber + 100 + i;
        found = store.List(filter).size();
    });
    std::printf("one adapter's history (%zu records of %d), 20 adapters: median %.2f ms, max %.2f ms "
                "(target: 50 ms)\n",
                found, records, history.Median, history.Max);
    const TFigures newest =
        Timed(20, [&](int i) { (void)store.NewestWriteTo(kFirstFactoryNumber + 200 + i); });
    std::printf("newest write to one adapter, 20 adapters: median %.2f ms, max %.2f ms\n", newest.Median,
                newest.Max);
    const TFigures whole = Timed(3, [&](int) { found = store.List().size(); });
    std::printf("the whole store listed (%zu records): median %.1f ms\n", found, whole.Median);
    return 0;
}

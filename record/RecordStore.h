#pragma once
// The service record's store: one SQLite file, append-only (triggers refuse UPDATE and DELETE), each
// record carrying the SHA-256 of the record before it, so that a record changed or removed behind the
// program's back is found. WAL mode; several programs may append at once. The queries are plain SQL
// (SELECT, INSERT); the set-up (tables, triggers, pragmas) is SQLite's own.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "record/ServiceRecord.h"

// A store that cannot be opened, read or written. The message names the file.
class ERecordStore : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TRecordFilter {
    std::optional<std::int64_t> FactoryNumber; // compared as integers (0101001 = 101001)
    std::string Since;                         // records at or after this date (YYYY-MM-DD); empty: all
    std::size_t Limit = 0;                     // the newest this many; 0: all
};

// What a check of the chain found: empty when every record is as it was appended.
struct TChainProblem {
    std::int64_t Id = 0;
    std::string
        Text; // Russian: what is wrong with this record ("запись изменена", "перед ней удалена запись")
};

class TRecordStore {
public:
    // The schema version this program writes (PRAGMA user_version).
    static constexpr int kSchemaVersion = 1;

    // Opens the store at path (UTF-8), creating it and its folder when missing, and migrating an older
    // schema forward. Throws ERecordStore naming the file when it cannot be opened or made, is not a
    // store of ours, is damaged or comes from a newer version: such a file is never changed.
    explicit TRecordStore(std::string path);
    ~TRecordStore();
    TRecordStore(const TRecordStore&) = delete;
    TRecordStore& operator=(const TRecordStore&) = delete;

    // RQ7_HISTORY when set, else UserDataFile("rq7-history.sqlite") (coef/WriteJournal.h: Linux
    // $XDG_DATA_HOME/rq7/, default ~/.local/share/rq7/; Windows %LOCALAPPDATA%\rq7\), as the write journal.
    static std::string DefaultPath();

    const std::string& Path() const;

    // Appends a record (its Id ignored) in one transaction, linked to the newest one; returns its id.
    // Throws ERecordStore when it cannot be written.
    std::int64_t Append(const TServiceRecord& record);

    std::optional<TServiceRecord> Find(std::int64_t id) const;
    // Newest first.
    std::vector<TServiceRecord> List(const TRecordFilter& filter = {}) const;
    // The newest record that wrote to that adapter (write, limits or restore).
    std::optional<TServiceRecord> NewestWriteTo(std::int64_t factoryNumber) const;

    // Recomputes the chain from the first record on.
    std::vector<TChainProblem> Check() const;

private:
    struct TImpl;
    std::string path_;
    TImpl* impl_ = nullptr;
};

#pragma once
// The service record as rq7cli keeps it: the store a command records in, and the records it makes.

#include <memory>
#include <optional>
#include <string>

#include "cli/CliArguments.h"
#include "cli/Rq7Cli.h"
#include "record/RecordStore.h"
#include "record/ServiceRecord.h"

class TCliRecorder {
public:
    TCliRecorder(TCliContext& context, const TCommandLine& line);

    // False with --no-history: nothing is recorded and nothing is read for the record.
    bool Enabled() const { return enabled_; }
    // The store's file: --history, else the context's, else TRecordStore::DefaultPath().
    std::string Path() const;
    // Opens the store (once); the message naming the file when it cannot be opened.
    std::optional<std::string> Open();
    // The store once opened; nullptr before or when it could not be opened.
    TRecordStore* Store() { return store_.get(); }

    // A record of this run, made now (time, station, user with the technician, program, port).
    TServiceRecord New(TRecordOperation operation) const;
    // Appends a record (opening the store first); the message when it could not be written.
    std::optional<std::string> Append(const TServiceRecord& record);

private:
    TCliContext& context_;
    const TCommandLine& line_;
    bool enabled_;
    std::unique_ptr<TRecordStore> store_;
};

// A factory number as typed ("0101001"); nothing when it is no non-negative integer.
std::optional<std::int64_t> ParseFactoryNumber(const std::string& text);
// A record's number as typed; nothing when it is no positive integer.
std::optional<std::int64_t> ParseRecordId(const std::string& text);
// Opens the store for a command that only reads it; kExitHistory (with the message said) when it cannot be.
std::optional<int> OpenForReading(TCliRecorder& recorder, TCliContext& context);

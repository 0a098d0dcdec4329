#pragma once
// The write journal: before a block is written to an adapter, the block found on it and the block about
// to be sent are kept in a small file of the user's. When the write is cut off (a pulled cable, a stop),
// a later run finds the pair and can tell that the half-written block in the adapter is made of slots
// from the two, and so may complete the write.
//
// The file is plain text a person can read: a first line naming the format, then one line per adapter,
// the one kept longest ago first:
//
//   rq7 write journal 1
//   101001 found=<136 hex digits> sent=<136 hex digits>
//
// Written as the other text files are (Windows-1251 bytes, CR LF lines), and always whole: a new file
// beside it replaces it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "coef/CoefBlock.h"

// A file of rq7's in the user's data folder: Linux $XDG_DATA_HOME/rq7/name (default ~/.local/share/rq7/
// when XDG_DATA_HOME is unset or empty or not absolute); Windows %LOCALAPPDATA%\rq7\name
// (%USERPROFILE%\AppData\Local where LOCALAPPDATA is unset). Empty when no home folder is known. The
// write journal and the service record's store both live there.
std::string UserDataFile(const std::string& name);

struct TJournalEntry {
    std::int32_t FactoryNumber = 0; // the adapter's (slot 13 of the block found)
    TCoefImageBytes Found{};        // the block read before the write
    TCoefImageBytes Sent{};         // the block the write sends
};

class TWriteJournal {
public:
    // The first line of a journal of ours.
    static constexpr std::string_view kFirstLine = "rq7 write journal 1";
    // The most lines after the first that the file keeps; past it the oldest go first.
    static constexpr std::size_t kMaxAdapters = 1000;
    // EInOutError::ErrorCode when the file at the path is not a journal of ours (no operating system
    // error has this number).
    static constexpr int kNotAJournal = -1;

    explicit TWriteJournal(std::string path); // UTF-8 path of the journal file

    // UserDataFile("write-journal.txt").
    static std::string DefaultPath();

    const std::string& Path() const;

    // Keeps the pair for entry.FactoryNumber, replacing an earlier pair of the same adapter and keeping the
    // others (a damaged line of another adapter stays as it is); the pair kept goes last. Makes the folder
    // when missing. Written to a new file beside it that then replaces it, synced to disk before it
    // returns, so a power cut leaves the old journal or the new one. Throws EInOutError when it cannot be
    // read or written ("File access denied", "Disk full", ...), and with kNotAJournal ("Not a write
    // journal: <path>") when the file there is not a journal of ours, which is then left as it is.
    void Keep(const TJournalEntry& entry);

    // The pair kept for that adapter; nothing when there is none, the file or its folder is missing, the
    // file is not a journal of ours, or the adapter's line is damaged (a damaged line is ignored, never
    // mended). Throws EInOutError when an existing file cannot be read.
    std::optional<TJournalEntry> Find(std::int32_t factoryNumber) const;

    // Forgets the pair of that adapter (after its block was written completely and confirmed). Missing
    // file, missing entry or a file that is not a journal of ours: nothing happens. Throws EInOutError as
    // Keep does when the file cannot be read or rewritten.
    void Forget(std::int32_t factoryNumber);

private:
    std::string path_;
};

// True when every slot 1..16 of `read` equals the same slot of entry.Found or of entry.Sent (slot k is
// bytes 4k..4k+3; bytes 0..3 belong to no slot): the block read is one that an interrupted write of
// this pair can have left.
bool ReadBlockFitsJournal(const TCoefImageBytes& read, const TJournalEntry& entry);

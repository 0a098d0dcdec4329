#pragma once
// One entry of the adapter's service record: what a read found, what a write, a limits change, a
// translation switch or a restore left. Records are never edited; a correction is a new record.
// The JSON form (RecordJson) has exactly the keys that `rq7cli history --json` prints.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "coef/CoefBlock.h"

enum class TRecordOperation { Read, Write, Limits, Translate, Restore };

// Where a slot of the adapter stands after a write (as TSlotState of the sequence: new, unknown, old).
enum class TRecordedSlotState { New, Unknown, Old };

// The 16 slots of a block, slot k at index k - 1, each in frame order (as TSlotBytes).
using TRecordedSlots = std::array<TSlotBytes, 16>;

// The block read before the operation.
struct TAsFound {
    TRecordedSlots Slots{};
    bool ChecksumOk = false;
    std::string ReadAt; // when it was read: local ISO 8601 with its offset ("2026-12-10T09:14:03+03:00")
};

// What a write sent and how far it got.
struct TAsLeft {
    TRecordedSlots Sent{};
    std::array<TRecordedSlotState, 16> State{};
    std::optional<bool> Verified; // the read-back: matched, differed, or none (the windows, --no-verify)
};

// How the operation ended: rq7cli's exit code (the windows: the code rq7cli gives the same end) and
// the message shown. The first record of a write, made before its first request, has no code and the
// message kOutcomeBegun.
struct TRecordOutcome {
    std::optional<int> Code;
    std::string Message;
};
inline constexpr const char* kOutcomeBegun = "begun";

struct TRecordedFile {
    std::string Name;   // as the user gave it (UTF-8)
    std::string Sha256; // 64 lowercase hex digits of the file's bytes
};

struct TServiceRecord {
    std::int64_t Id = 0; // given by the store when the record is appended
    std::string Time;    // local ISO 8601 with its offset, when the record was made
    std::string Station; // the computer's host name
    std::string User; // the system user; "ivanov (Иванов И. И.)" when a technician's name was given
    std::string Program; // "rq7 0.1.0" or "rq7cli 0.1.0"
    std::string Port;    // the port as the user named it
    TRecordOperation Operation = TRecordOperation::Read;
    std::optional<std::int64_t> FactoryNumber; // the adapter's after the operation
    std::optional<TAsFound> AsFound;
    std::optional<TAsLeft> AsLeft;
    TRecordOutcome Outcome;
    std::optional<TRecordedFile> File;
};

// "read", "write", "limits", "translate", "restore"; and back (nothing for another text).
const char* OperationName(TRecordOperation operation);
std::optional<TRecordOperation> OperationFromName(const std::string& name);

// The record's slots of an image (bytes 4k..4k+3 for slot k), and the image of recorded slots (byte 0..3
// zero), so that a recorded block goes back byte for byte.
TRecordedSlots RecordedSlotsOf(const TCoefImageBytes& image);
TCoefImageBytes ImageOfRecordedSlots(const TRecordedSlots& slots);

// The current local time as a record keeps it, and the host name and system user of this computer.
std::string RecordTimeNow();
std::string StationName();
std::string SystemUserName();

// The record as one JSON object text with exactly the keys id, time, station, user, program, port,
// operation, factory_number, as_found, as_left, outcome, file (slots as 8 lowercase hex digits each),
// and back; RecordFromJson gives nothing for a text that is not such an object.
std::string RecordJson(const TServiceRecord& record);
std::optional<TServiceRecord> RecordFromJson(const std::string& json);

struct TWriteReport;

// A new record of this computer and user, made now: Time, Station, User (with the technician's name when
// one is given), Program and Port filled in.
TServiceRecord NewRecord(TRecordOperation operation, const std::string& program, const std::string& port,
                         const std::string& technician = {});

// The as-found of a block read (the read's image), and the as-left of a write: the image sent and where
// each slot stands by the write's report (a write not begun: every slot old).
TAsFound AsFoundOf(const TCoefImageBytes& readImage, bool checksumOk, const std::string& readAt);
TAsLeft AsLeftOf(const TCoefImageBytes& sent, const TWriteReport& report, std::optional<bool> verified);

// The factory number in slot 13, as the windows show it (a signed 32-bit number).
std::int64_t FactoryNumberOfSlots(const TRecordedSlots& recorded);
std::int64_t FactoryNumberOfImage(const TCoefImageBytes& image);

// Fills in what a write leaves: its as-left (the image sent, each slot's state by the write's report, the
// read-back), the factory number it leaves the adapter with (the one sent once its slot went out, new or
// unknown, else the one found; the one sent when nothing was found), and its outcome. A write's first record
// is NoteWriteLeft(record, sent, TWriteReport{}, std::nullopt, {std::nullopt, kOutcomeBegun}).
void NoteWriteLeft(TServiceRecord& record, const TCoefImageBytes& sent, const TWriteReport& report,
                   std::optional<bool> verified, TRecordOutcome outcome);

// The name and SHA-256 of a coefficient file as it stands on disk. Only a regular file of at most 1 MB
// (a coefficient file is a few hundred bytes) is read for it, so a pipe or a device is never read to its
// end: nothing for any other, or for one that cannot be read.
std::optional<TRecordedFile> RecordedFileOf(const std::string& path);

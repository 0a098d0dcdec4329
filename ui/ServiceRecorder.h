#pragma once
// What a window puts into the service record: each complete read, each write (a first record before its
// first write request, a second with its outcome) and the translation switch. Without a store nothing
// is recorded; a store that cannot be written is said once ("Журнал недоступен: …") and the window goes
// on without it: the adapter's work never waits on the record.

#include <optional>
#include <string>

#include "coef/CoefBlock.h"
#include "link/CoefSequence.h"
#include "record/ServiceRecord.h"

class IPrompts;
class TModbusExchange;
class TRecordStore;

// The program as a record names it: "rq7 " and its version.
std::string WindowProgramName();

// The code rq7cli exits with for the same end of a write (0 complete, 3 nothing sent for want of an
// answer, 7 refused by the checksum, 8 incomplete, 130 stopped before the first request).
int WriteOutcomeCode(TWriteEnd end, const TWriteReport& report);

// The message a write's outcome record keeps: the one the window showed (shown), or, when it showed
// none, what the end was.
std::string WriteEndMessage(TWriteEnd end, const std::string& shown);

class TServiceRecorder {
public:
    // store may be nullptr: nothing is recorded, and nothing said.
    TServiceRecorder(TRecordStore* store, IPrompts& prompts, TModbusExchange& exchange);

    // A read of all 16 slots (the block's ReadImage): a `read` record, and the block kept as the last
    // complete read of the adapter on the line.
    void RecordRead(const TCoefBlock& block, bool checksumOk);
    // A read that did not complete: the adapter on the line is no longer known.
    void ForgetRead();

    // The first record of a write, made before its first request: as found the last complete read (or
    // none), as left the block to send with every slot old, no code, the message "begun".
    void RecordWriteBegun(TRecordOperation operation, const TCoefImageBytes& sent,
                          const std::optional<TRecordedFile>& file);
    // The second: where each slot stands by the write's report, and how it ended.
    void RecordWriteEnded(TRecordOperation operation, const TCoefImageBytes& sent, const TWriteReport& report,
                          TWriteEnd end, const std::string& message,
                          const std::optional<TRecordedFile>& file);

    // The translation switch: answered (code 0) or not (code 3), with the message shown.
    void RecordTranslation(bool answered, const std::string& message);

private:
    TServiceRecord NewWindowRecord(TRecordOperation operation) const;
    // Appends, or says once that the store is unavailable.
    void Append(const TServiceRecord& record);

    TRecordStore* store_;
    IPrompts& prompts_;
    TModbusExchange& exchange_;
    std::optional<TAsFound> lastRead_;
    bool unavailableSaid_ = false;
};

#pragma once
// What a record's two blocks hold, as a person reads them: per channel the parameter values at 20 mA and
// 4 mA and the currents at the 16 mA and 4 mA codes, the factory number, the address and the recording
// date, each as found and as left with its change marked. The protocol and the journal window show these
// rows; both are made from the record alone.

#include <string>
#include <vector>

#include "record/ServiceRecord.h"

// How a row's as-left value stands against its as-found one.
enum class TRowChange {
    Same,        // the same bytes, or nothing to compare (a block missing)
    Changed,     // other bytes, sent and confirmed
    Unconfirmed, // other bytes, sent, their confirmation never came
    NotWritten,  // other bytes, not sent (the write ended before them)
};

struct TProtocolRow {
    int Slot = 0;      // 1..15
    std::string Name;  // "Канал 1: значение параметра при 20 мА"
    std::string Found; // as shown by the windows; empty without an as-found block
    std::string Left;  // likewise for the as-left block
    TRowChange Change = TRowChange::Same;
    bool Compared = false; // the recording date is shown, never compared (every write stamps it afresh)
};

// The rows of slots 1..12 (by channel), 13, 15 and 14, in that order.
std::vector<TProtocolRow> ProtocolRows(const TServiceRecord& record);

// The mark a changed row carries ("изменено", "не подтверждено", "не записано"; empty when the same).
const char* RowChangeText(TRowChange change);

// Texts of a record's parts, shared by the protocol and the journal window.
std::string OperationText(TRecordOperation operation);             // "чтение", "запись", ...
std::string RecordTimeText(const std::string& isoTime);            // "10.12.2026 09:14:03 (UTC+03:00)"
std::string RecordFactoryNumberText(const TServiceRecord& record); // "0101001", or "—"
std::string RecordAddressText(const TServiceRecord& record);       // the as-left's, else the as-found's
std::string ChecksumText(const TServiceRecord& record);
std::string ReadBackText(const TServiceRecord& record);
std::string OutcomeText(const TServiceRecord& record);

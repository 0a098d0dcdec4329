#include "ui/ServiceRecorder.h"

#include <QString>

#include "cli/CliExit.h"
#include "coef/DeviceMap.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "record/RecordStore.h"
#include "ui/Prompts.h"

namespace {
// rq7cli's exit codes (one table, cli/CliExit.h) for the ends a window's write can have.
constexpr int kCodeDone = kExitDone;
constexpr int kCodeNoAnswer = kExitNoAnswer;
constexpr int kCodeChecksum = kExitChecksum;
constexpr int kCodeIncomplete = kExitIncomplete;
constexpr int kCodeStopped = kExitStopped;

} // namespace

std::string WindowProgramName() {
    return std::string("rq7 ") + RQ7_VERSION;
}

int WriteOutcomeCode(TWriteEnd end, const TWriteReport& report) {
    switch (end) {
    case TWriteEnd::Complete:
        return kCodeDone;
    case TWriteEnd::Refused:
        return kCodeChecksum;
    case TWriteEnd::Stopped:
        return kCodeStopped;
    case TWriteEnd::Failed:
    case TWriteEnd::Abandoned:
        break;
    }
    return report.Begun ? kCodeIncomplete : kCodeNoAnswer;
}

std::string WriteEndMessage(TWriteEnd end, const std::string& shown) {
    if (!shown.empty()) {
        return shown;
    }
    switch (end) {
    case TWriteEnd::Complete:
        return "Запись выполнена";
    case TWriteEnd::Stopped:
        return "Остановлено до первого запроса записи";
    case TWriteEnd::Refused:
        return kChecksumErrorText;
    case TWriteEnd::Failed:
        return kNoAnswerText;
    case TWriteEnd::Abandoned:
        break;
    }
    return "Запись прервана";
}

TServiceRecorder::TServiceRecorder(TRecordStore* store, IPrompts& prompts, TModbusExchange& exchange)
    : store_(store), prompts_(prompts), exchange_(exchange) {}

TServiceRecord TServiceRecorder::NewWindowRecord(TRecordOperation operation) const {
    return NewRecord(operation, WindowProgramName(), exchange_.DataModule().ComPort.Port());
}

void TServiceRecorder::Append(const TServiceRecord& record) {
    if (store_ == nullptr) {
        return;
    }
    try {
        store_->Append(record);
    } catch (const std::exception& e) {
        // Said once; the window goes on without this record (and tries the next one again).
        if (unavailableSaid_) {
            return;
        }
        unavailableSaid_ = true;
        prompts_.ShowMessage(QStringLiteral("Журнал недоступен: ") + QString::fromStdString(e.what()));
    }
}

void TServiceRecorder::RecordRead(const TCoefBlock& block, bool checksumOk) {
    lastRead_ = AsFoundOf(block.ReadImage, checksumOk, RecordTimeNow());
    TServiceRecord record = NewWindowRecord(TRecordOperation::Read);
    record.FactoryNumber = FactoryNumberOfSlots(lastRead_->Slots);
    record.AsFound = lastRead_;
    record.Outcome = {checksumOk ? kCodeDone : kCodeChecksum, checksumOk ? "Прочитано" : kChecksumErrorText};
    Append(record);
}

void TServiceRecorder::ForgetRead() {
    lastRead_.reset();
}

void TServiceRecorder::RecordWriteBegun(TRecordOperation operation, const TCoefImageBytes& sent,
                                        const std::optional<TRecordedFile>& file) {
    TServiceRecord record = NewWindowRecord(operation);
    record.AsFound = lastRead_;
    NoteWriteLeft(record, sent, TWriteReport{}, std::nullopt, {std::nullopt, kOutcomeBegun});
    record.File = file;
    Append(record);
}

void TServiceRecorder::RecordWriteEnded(TRecordOperation operation, const TCoefImageBytes& sent,
                                        const TWriteReport& report, TWriteEnd end, const std::string& message,
                                        const std::optional<TRecordedFile>& file) {
    TServiceRecord record = NewWindowRecord(operation);
    record.AsFound = lastRead_;
    NoteWriteLeft(record, sent, report, std::nullopt, {WriteOutcomeCode(end, report), message});
    record.File = file;
    Append(record);
}

void TServiceRecorder::RecordTranslation(bool answered, const std::string& message) {
    TServiceRecord record = NewWindowRecord(TRecordOperation::Translate);
    record.Outcome = {answered ? kCodeDone : kCodeNoAnswer, message};
    Append(record);
}

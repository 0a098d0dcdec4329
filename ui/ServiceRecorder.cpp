#include "ui/ServiceRecorder.h"

#include <QCryptographicHash>
#include <QFile>
#include <QString>

#include "coef/DeviceMap.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "record/RecordStore.h"
#include "ui/Prompts.h"

namespace {
// rq7cli's exit codes for the ends a window's write can have.
constexpr int kCodeDone = 0;
constexpr int kCodeNoAnswer = 3;
constexpr int kCodeChecksum = 7;
constexpr int kCodeIncomplete = 8;
constexpr int kCodeStopped = 130;

std::int64_t FactoryNumberOfSlots(const TRecordedSlots& recorded) {
    const TSlotBytes& d = recorded.at(rq7map::kFactoryNumberSlot - 1);
    const std::uint32_t word = static_cast<std::uint32_t>(d[0]) | (static_cast<std::uint32_t>(d[1]) << 8) |
                               (static_cast<std::uint32_t>(d[2]) << 16) |
                               (static_cast<std::uint32_t>(d[3]) << 24);
    return static_cast<std::int32_t>(word); // as the windows show it
}
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

std::optional<TRecordedFile> RecordedFileOf(const std::string& name) {
    QFile file(QString::fromStdString(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        return std::nullopt;
    }
    return TRecordedFile{name, hash.result().toHex().toStdString()};
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

std::optional<std::int64_t> TServiceRecorder::FactoryNumberAfter(const TCoefImageBytes& sent,
                                                                 const TWriteReport& report) const {
    // The adapter's number after the write: the one sent once its slot was, else the one it had.
    const TRecordedSlots sentSlots = RecordedSlotsOf(sent);
    if (report.States.at(rq7map::kFactoryNumberSlot) != TSlotState::Old || !lastRead_) {
        return FactoryNumberOfSlots(sentSlots);
    }
    return FactoryNumberOfSlots(lastRead_->Slots);
}

void TServiceRecorder::RecordWriteBegun(TRecordOperation operation, const TCoefImageBytes& sent,
                                        const std::optional<TRecordedFile>& file) {
    const TWriteReport notBegun;
    TServiceRecord record = NewWindowRecord(operation);
    record.FactoryNumber = FactoryNumberAfter(sent, notBegun);
    record.AsFound = lastRead_;
    record.AsLeft = AsLeftOf(sent, notBegun, std::nullopt);
    record.Outcome = {std::nullopt, kOutcomeBegun};
    record.File = file;
    Append(record);
}

void TServiceRecorder::RecordWriteEnded(TRecordOperation operation, const TCoefImageBytes& sent,
                                        const TWriteReport& report, TWriteEnd end, const std::string& message,
                                        const std::optional<TRecordedFile>& file) {
    TServiceRecord record = NewWindowRecord(operation);
    record.FactoryNumber = FactoryNumberAfter(sent, report);
    record.AsFound = lastRead_;
    record.AsLeft = AsLeftOf(sent, report, std::nullopt);
    record.Outcome = {WriteOutcomeCode(end, report), message};
    record.File = file;
    Append(record);
}

void TServiceRecorder::RecordTranslation(bool answered, const std::string& message) {
    TServiceRecord record = NewWindowRecord(TRecordOperation::Translate);
    record.Outcome = {answered ? kCodeDone : kCodeNoAnswer, message};
    Append(record);
}

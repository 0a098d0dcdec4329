#include "cli/CliRecords.h"

#include <QDate>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>

#include <charconv>
#include <ostream>
#include <vector>

#include "cli/CliCommands.h"
#include "cli/CliExit.h"
#include "cli/CliOutput.h"
#include "record/Protocol.h"

#ifndef RQ7_VERSION
#define RQ7_VERSION "unknown"
#endif

TCliRecorder::TCliRecorder(TCliContext& context, const TCommandLine& line)
    : context_(context), line_(line), enabled_(!line.NoHistory) {}

std::string TCliRecorder::Path() const {
    if (!line_.History.empty()) {
        return line_.History;
    }
    return context_.HistoryPath.empty() ? TRecordStore::DefaultPath() : context_.HistoryPath;
}

std::optional<std::string> TCliRecorder::Open() {
    if (store_) {
        return std::nullopt;
    }
    const std::string path = Path();
    if (path.empty()) {
        return std::string("журнал: не найдена папка данных пользователя (укажите --history ФАЙЛ)");
    }
    try {
        store_ = std::make_unique<TRecordStore>(path);
    } catch (const std::exception& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

TServiceRecord TCliRecorder::New(TRecordOperation operation) const {
    const std::string technician = line_.Technician ? *line_.Technician : context_.Technician;
    return NewRecord(operation, std::string("rq7cli ") + RQ7_VERSION, line_.Port, technician);
}

std::optional<std::string> TCliRecorder::Append(const TServiceRecord& record) {
    if (std::optional<std::string> problem = Open()) {
        return problem;
    }
    try {
        store_->Append(record);
    } catch (const std::exception& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

std::optional<std::int64_t> ParseFactoryNumber(const std::string& text) {
    std::int64_t number = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, number);
    if (error != std::errc() || at != end || number < 0 || text.empty()) {
        return std::nullopt;
    }
    return number;
}

std::optional<std::int64_t> ParseRecordId(const std::string& text) {
    const std::optional<std::int64_t> id = ParseFactoryNumber(text);
    return id && *id > 0 ? id : std::nullopt;
}

std::optional<int> OpenForReading(TCliRecorder& recorder, TCliContext& context) {
    if (const std::optional<std::string> problem = recorder.Open()) {
        SayError(context.Err, context.Out, *problem);
        return kExitHistory;
    }
    return std::nullopt;
}

namespace {

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string OutcomeCell(const TRecordOutcome& outcome) {
    return (outcome.Code ? std::to_string(*outcome.Code) : std::string("-")) + " " + outcome.Message;
}

std::string FactoryNumberField(const TServiceRecord& record) {
    return record.FactoryNumber ? std::to_string(*record.FactoryNumber) : std::string();
}

void PrintHistory(std::ostream& out, const std::vector<TServiceRecord>& records) {
    out << Pad("№", 7) << Pad("время", 26) << Pad("операция", 10) << Pad("зав.номер", 11) << Pad("порт", 14)
        << Pad("пользователь", 20) << "итог\n";
    for (const TServiceRecord& record : records) {
        out << Pad(std::to_string(record.Id), 7) << Pad(record.Time, 26)
            << Pad(OperationName(record.Operation), 10) << Pad(FactoryNumberField(record), 11)
            << Pad(record.Port, 14) << Pad(record.User, 20) << Printable(OutcomeCell(record.Outcome)) << '\n';
    }
}

void PrintHistoryCsv(std::ostream& out, const std::vector<TServiceRecord>& records) {
    out << "id,time,station,user,program,port,operation,factory_number,outcome_code,outcome_message,"
           "file_name,file_sha256\r\n";
    for (const TServiceRecord& record : records) {
        const std::vector<std::string> fields = {
            std::to_string(record.Id),
            record.Time,
            record.Station,
            record.User,
            record.Program,
            record.Port,
            OperationName(record.Operation),
            FactoryNumberField(record),
            record.Outcome.Code ? std::to_string(*record.Outcome.Code) : std::string(),
            record.Outcome.Message,
            record.File ? record.File->Name : std::string(),
            record.File ? record.File->Sha256 : std::string(),
        };
        for (std::size_t i = 0; i < fields.size(); ++i) {
            out << (i == 0 ? "" : ",") << CsvField(fields[i]);
        }
        out << "\r\n";
    }
}

} // namespace

int CommandHistory(TCliContext& context, const TCommandLine& line) {
    TRecordFilter filter;
    if (line.FactoryNumber) {
        filter.FactoryNumber = ParseFactoryNumber(*line.FactoryNumber);
        if (!filter.FactoryNumber) {
            SayError(context.Err, context.Out,
                     "--factory-number: \"" + Printable(*line.FactoryNumber) + "\" не заводской номер");
            return kExitUsage;
        }
    }
    if (!line.Since.empty()) {
        if (!QDate::fromString(QString::fromStdString(line.Since), Qt::ISODate).isValid() ||
            line.Since.size() != 10) {
            SayError(context.Err, context.Out,
                     "--since: \"" + Printable(line.Since) + "\" не дата ГГГГ-ММ-ДД");
            return kExitUsage;
        }
        filter.Since = line.Since;
    }
    TCliRecorder recorder(context, line);
    if (const std::optional<int> failed = OpenForReading(recorder, context)) {
        return *failed;
    }
    TRecordStore& store = *recorder.Store();
    if (line.Check) {
        const std::vector<TChainProblem> problems = store.Check();
        for (const TChainProblem& problem : problems) {
            context.Out << "запись " << problem.Id << ": " << problem.Text << '\n';
        }
        if (!problems.empty()) {
            SayError(context.Err, context.Out,
                     "журнал " + store.Path() + " не прошёл проверку: записей с нарушениями " +
                         std::to_string(problems.size()));
            return kExitHistory;
        }
        context.Out << "Журнал цел: записей " << store.List().size() << '\n';
        return kExitDone;
    }
    const std::vector<TServiceRecord> records = store.List(filter);
    if (line.Json) {
        QJsonArray array;
        for (const TServiceRecord& record : records) {
            array.append(QJsonDocument::fromJson(QByteArray::fromStdString(RecordJson(record))).object());
        }
        context.Out << QJsonDocument(array).toJson().toStdString();
    } else if (line.Csv) {
        PrintHistoryCsv(context.Out, records);
    } else {
        PrintHistory(context.Out, records);
    }
    return kExitDone;
}

int CommandReport(TCliContext& context, const TCommandLine& line) {
    const auto refuse = [&context](const std::string& text, int code) {
        SayError(context.Err, context.Out, text);
        return code;
    };
    if (line.RecordId.empty() == !line.FactoryNumber.has_value()) {
        return refuse("report: укажите номер записи или --factory-number, одно из двух", kExitUsage);
    }
    std::optional<std::int64_t> id;
    std::optional<std::int64_t> number;
    if (!line.RecordId.empty() && !(id = ParseRecordId(line.RecordId))) {
        return refuse("\"" + Printable(line.RecordId) + "\" не номер записи", kExitUsage);
    }
    if (line.FactoryNumber && !(number = ParseFactoryNumber(*line.FactoryNumber))) {
        return refuse("--factory-number: \"" + Printable(*line.FactoryNumber) + "\" не заводской номер",
                      kExitUsage);
    }
    TCliRecorder recorder(context, line);
    if (const std::optional<int> failed = OpenForReading(recorder, context)) {
        return *failed;
    }
    const std::optional<TServiceRecord> record =
        id ? recorder.Store()->Find(*id) : recorder.Store()->NewestWriteTo(*number);
    if (!record) {
        return refuse(id ? "в журнале нет записи " + std::to_string(*id)
                         : "в журнале нет записи в адаптер " + std::to_string(*number),
                      kExitBadData);
    }
    if (!line.Pdf.empty() && qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        return refuse("протокол в PDF не построен: нет графической подсистемы Qt", kExitBadData);
    }
    try {
        if (!line.Pdf.empty()) {
            WriteProtocolPdf(*record, line.Pdf);
            context.Out << "Протокол записи " << record->Id << ": " << line.Pdf << '\n';
        }
        if (!line.Html.empty()) {
            WriteProtocolHtml(*record, line.Html);
            context.Out << "Протокол записи " << record->Id << ": " << line.Html << '\n';
        }
    } catch (const std::exception& e) {
        return refuse(e.what(), kExitBadData);
    }
    if (line.Pdf.empty() && line.Html.empty()) {
        context.Out << ProtocolText(*record);
    }
    return kExitDone;
}

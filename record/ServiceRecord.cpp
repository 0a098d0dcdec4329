#include "record/ServiceRecord.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSysInfo>
#include <QTimeZone>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "coef/DeviceMap.h"
#include "coef/ValueText.h"
#include "link/CoefSequence.h"
#include "record/RecordJsonParts.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

constexpr std::array<const char*, 5> kOperationNames = {"read", "write", "limits", "translate", "restore"};
constexpr std::array<const char*, 3> kStateNames = {"new", "unknown", "old"};

// The record's JSON is written by hand, its keys in their documented order and its texts always the
// same for the same record: the store's chain hashes this text.
void AppendString(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (u < 0x20 || u == 0x7f) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void AppendKey(std::string& out, const char* key) {
    if (out.back() != '{') {
        out += ',';
    }
    AppendString(out, key);
    out += ':';
}

std::string SlotHex(const TSlotBytes& slot) {
    char text[9];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x", slot[0], slot[1], slot[2], slot[3]);
    return text;
}

void AppendSlots(std::string& out, const TRecordedSlots& recorded) {
    out += '[';
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        AppendString(out, SlotHex(recorded[i]));
    }
    out += ']';
}

void AppendOptionalBool(std::string& out, std::optional<bool> value) {
    out += !value ? "null" : (*value ? "true" : "false");
}

std::optional<TRecordedSlots> SlotsFromJson(const QJsonValue& value) {
    if (!value.isArray() || value.toArray().size() != 16) {
        return std::nullopt;
    }
    const QJsonArray array = value.toArray();
    TRecordedSlots recorded{};
    for (qsizetype i = 0; i < array.size(); ++i) {
        const std::string text = array[i].toString().toStdString();
        if (!array[i].isString() || text.size() != 8) {
            return std::nullopt;
        }
        for (std::size_t b = 0; b < 4; ++b) {
            const int high = HexDigitValue(text[2 * b]);
            const int low = HexDigitValue(text[2 * b + 1]);
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            recorded[static_cast<std::size_t>(i)][b] = static_cast<std::uint8_t>(high * 16 + low);
        }
    }
    return recorded;
}

std::optional<bool> OptionalBoolFromJson(const QJsonValue& value, bool& ok) {
    ok = value.isBool() || value.isNull();
    return value.isBool() ? std::optional<bool>(value.toBool()) : std::nullopt;
}

// An integer of a JSON number (the factory number, the exit code), nothing for any other value.
std::optional<std::int64_t> IntegerFromJson(const QJsonValue& value) {
    if (!value.isDouble()) {
        return std::nullopt;
    }
    const qint64 integer = value.toInteger(-1);
    if (static_cast<double>(integer) != value.toDouble()) {
        return std::nullopt;
    }
    return integer;
}

bool HasExactly(const QJsonObject& object, std::initializer_list<const char*> keys) {
    if (object.size() != static_cast<qsizetype>(keys.size())) {
        return false;
    }
    for (const char* key : keys) {
        if (!object.contains(QLatin1String(key))) {
            return false;
        }
    }
    return true;
}

std::optional<TAsFound> AsFoundFromObject(const QJsonObject& object) {
    if (!HasExactly(object, {"slots", "checksum_ok", "read_at"}) || !object["checksum_ok"].isBool() ||
        !object["read_at"].isString()) {
        return std::nullopt;
    }
    const auto recorded = SlotsFromJson(object["slots"]);
    if (!recorded) {
        return std::nullopt;
    }
    return TAsFound{*recorded, object["checksum_ok"].toBool(), object["read_at"].toString().toStdString()};
}

std::optional<TAsLeft> AsLeftFromObject(const QJsonObject& object) {
    if (!HasExactly(object, {"sent", "state", "verified"}) || !object["state"].isArray() ||
        object["state"].toArray().size() != 16) {
        return std::nullopt;
    }
    TAsLeft asLeft;
    const auto sent = SlotsFromJson(object["sent"]);
    bool verifiedOk = false;
    asLeft.Verified = OptionalBoolFromJson(object["verified"], verifiedOk);
    if (!sent || !verifiedOk) {
        return std::nullopt;
    }
    asLeft.Sent = *sent;
    const QJsonArray states = object["state"].toArray();
    for (qsizetype i = 0; i < states.size(); ++i) {
        const std::string name = states[i].toString().toStdString();
        const auto found = std::find(kStateNames.begin(), kStateNames.end(), name);
        if (!states[i].isString() || found == kStateNames.end()) {
            return std::nullopt;
        }
        asLeft.State[static_cast<std::size_t>(i)] =
            static_cast<TRecordedSlotState>(found - kStateNames.begin());
    }
    return asLeft;
}

std::optional<QJsonObject> ObjectOfText(const std::string& json) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    return document.object();
}

std::string OffsetText(int offsetSeconds) {
    const char sign = offsetSeconds < 0 ? '-' : '+';
    const int minutes = std::abs(offsetSeconds) / 60;
    char text[16];
    std::snprintf(text, sizeof text, "%c%02d:%02d", sign, minutes / 60, minutes % 60);
    return text;
}

} // namespace

const char* OperationName(TRecordOperation operation) {
    return kOperationNames.at(static_cast<std::size_t>(operation));
}

std::optional<TRecordOperation> OperationFromName(const std::string& name) {
    const auto found = std::find(kOperationNames.begin(), kOperationNames.end(), name);
    if (found == kOperationNames.end()) {
        return std::nullopt;
    }
    return static_cast<TRecordOperation>(found - kOperationNames.begin());
}

TRecordedSlots RecordedSlotsOf(const TCoefImageBytes& image) {
    TRecordedSlots recorded{};
    for (int k = 1; k <= 16; ++k) {
        recorded[static_cast<std::size_t>(k - 1)] = SlotOfImage(image, k);
    }
    return recorded;
}

TCoefImageBytes ImageOfRecordedSlots(const TRecordedSlots& recorded) {
    TCoefImageBytes image{};
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        std::copy(recorded[i].begin(), recorded[i].end(),
                  image.begin() + static_cast<std::ptrdiff_t>(4 * (i + 1)));
    }
    return image;
}

std::string RecordTimeNow() {
    const QDateTime now = QDateTime::currentDateTime();
    return now.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")).toStdString() +
           OffsetText(now.offsetFromUtc());
}

std::string StationName() {
    return QSysInfo::machineHostName().toStdString();
}

std::string SystemUserName() {
#ifdef _WIN32
    wchar_t name[257];
    DWORD size = static_cast<DWORD>(std::size(name));
    if (::GetUserNameW(name, &size) != 0 && size > 1) {
        return QString::fromWCharArray(name, static_cast<qsizetype>(size - 1)).toStdString();
    }
    return qEnvironmentVariable("USERNAME").toStdString();
#else
    if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_name != nullptr) {
        return user->pw_name;
    }
    return qEnvironmentVariable("USER").toStdString();
#endif
}

std::string AsFoundJson(const TAsFound& asFound) {
    std::string out = "{";
    AppendKey(out, "slots");
    AppendSlots(out, asFound.Slots);
    AppendKey(out, "checksum_ok");
    out += asFound.ChecksumOk ? "true" : "false";
    AppendKey(out, "read_at");
    AppendString(out, asFound.ReadAt);
    return out + '}';
}

std::string AsLeftJson(const TAsLeft& asLeft) {
    std::string out = "{";
    AppendKey(out, "sent");
    AppendSlots(out, asLeft.Sent);
    AppendKey(out, "state");
    out += '[';
    for (std::size_t i = 0; i < asLeft.State.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        AppendString(out, kStateNames.at(static_cast<std::size_t>(asLeft.State[i])));
    }
    out += ']';
    AppendKey(out, "verified");
    AppendOptionalBool(out, asLeft.Verified);
    return out + '}';
}

std::optional<TAsFound> AsFoundFromJson(const std::string& json) {
    const auto object = ObjectOfText(json);
    return object ? AsFoundFromObject(*object) : std::nullopt;
}

std::optional<TAsLeft> AsLeftFromJson(const std::string& json) {
    const auto object = ObjectOfText(json);
    return object ? AsLeftFromObject(*object) : std::nullopt;
}

std::string RecordJson(const TServiceRecord& record) {
    std::string out = "{";
    AppendKey(out, "id");
    out += std::to_string(record.Id);
    const std::pair<const char*, const std::string*> texts[] = {{"time", &record.Time},
                                                                {"station", &record.Station},
                                                                {"user", &record.User},
                                                                {"program", &record.Program},
                                                                {"port", &record.Port}};
    for (const auto& [key, text] : texts) {
        AppendKey(out, key);
        AppendString(out, *text);
    }
    AppendKey(out, "operation");
    AppendString(out, OperationName(record.Operation));
    AppendKey(out, "factory_number");
    out += record.FactoryNumber ? std::to_string(*record.FactoryNumber) : "null";
    AppendKey(out, "as_found");
    out += record.AsFound ? AsFoundJson(*record.AsFound) : "null";
    AppendKey(out, "as_left");
    out += record.AsLeft ? AsLeftJson(*record.AsLeft) : "null";
    AppendKey(out, "outcome");
    out += '{';
    AppendKey(out, "code");
    out += record.Outcome.Code ? std::to_string(*record.Outcome.Code) : "null";
    AppendKey(out, "message");
    AppendString(out, record.Outcome.Message);
    out += '}';
    AppendKey(out, "file");
    if (record.File) {
        out += '{';
        AppendKey(out, "name");
        AppendString(out, record.File->Name);
        AppendKey(out, "sha256");
        AppendString(out, record.File->Sha256);
        out += '}';
    } else {
        out += "null";
    }
    return out + '}';
}

std::optional<TServiceRecord> RecordFromJson(const std::string& json) {
    const auto parsed = ObjectOfText(json);
    if (!parsed || !HasExactly(*parsed, {"id", "time", "station", "user", "program", "port", "operation",
                                         "factory_number", "as_found", "as_left", "outcome", "file"})) {
        return std::nullopt;
    }
    const QJsonObject& object = *parsed;
    TServiceRecord record;
    const auto id = IntegerFromJson(object["id"]);
    const auto operation = OperationFromName(object["operation"].toString().toStdString());
    if (!id || !operation) {
        return std::nullopt;
    }
    record.Id = *id;
    record.Operation = *operation;
    const std::pair<const char*, std::string*> texts[] = {{"time", &record.Time},
                                                          {"station", &record.Station},
                                                          {"user", &record.User},
                                                          {"program", &record.Program},
                                                          {"port", &record.Port}};
    for (const auto& [key, text] : texts) {
        const QJsonValue value = object[QLatin1String(key)];
        if (!value.isString()) {
            return std::nullopt;
        }
        *text = value.toString().toStdString();
    }
    if (!object["factory_number"].isNull()) {
        record.FactoryNumber = IntegerFromJson(object["factory_number"]);
        if (!record.FactoryNumber) {
            return std::nullopt;
        }
    }
    if (!object["as_found"].isNull()) {
        record.AsFound = AsFoundFromObject(object["as_found"].toObject());
        if (!object["as_found"].isObject() || !record.AsFound) {
            return std::nullopt;
        }
    }
    if (!object["as_left"].isNull()) {
        record.AsLeft = AsLeftFromObject(object["as_left"].toObject());
        if (!object["as_left"].isObject() || !record.AsLeft) {
            return std::nullopt;
        }
    }
    const QJsonObject outcome = object["outcome"].toObject();
    if (!object["outcome"].isObject() || !HasExactly(outcome, {"code", "message"}) ||
        !outcome["message"].isString() || !(outcome["code"].isNull() || IntegerFromJson(outcome["code"]))) {
        return std::nullopt;
    }
    if (!outcome["code"].isNull()) {
        record.Outcome.Code = static_cast<int>(*IntegerFromJson(outcome["code"]));
    }
    record.Outcome.Message = outcome["message"].toString().toStdString();
    if (!object["file"].isNull()) {
        const QJsonObject file = object["file"].toObject();
        if (!object["file"].isObject() || !HasExactly(file, {"name", "sha256"}) || !file["name"].isString() ||
            !file["sha256"].isString()) {
            return std::nullopt;
        }
        record.File =
            TRecordedFile{file["name"].toString().toStdString(), file["sha256"].toString().toStdString()};
    }
    return record;
}

TServiceRecord NewRecord(TRecordOperation operation, const std::string& program, const std::string& port,
                         const std::string& technician) {
    TServiceRecord record;
    record.Time = RecordTimeNow();
    record.Station = StationName();
    record.User = SystemUserName();
    if (!technician.empty()) {
        record.User += " (" + technician + ")";
    }
    record.Program = program;
    record.Port = port;
    record.Operation = operation;
    return record;
}

TAsFound AsFoundOf(const TCoefImageBytes& readImage, bool checksumOk, const std::string& readAt) {
    return TAsFound{RecordedSlotsOf(readImage), checksumOk, readAt};
}

TAsLeft AsLeftOf(const TCoefImageBytes& sent, const TWriteReport& report, std::optional<bool> verified) {
    TAsLeft asLeft;
    asLeft.Sent = RecordedSlotsOf(sent);
    for (int k = 1; k <= 16; ++k) {
        TRecordedSlotState state = TRecordedSlotState::Old;
        if (report.Begun) {
            switch (report.States.at(static_cast<std::size_t>(k))) {
            case TSlotState::New:
                state = TRecordedSlotState::New;
                break;
            case TSlotState::Unknown:
                state = TRecordedSlotState::Unknown;
                break;
            case TSlotState::Old:
                break;
            }
        }
        asLeft.State.at(static_cast<std::size_t>(k - 1)) = state;
    }
    asLeft.Verified = verified;
    return asLeft;
}

std::int64_t FactoryNumberOfSlots(const TRecordedSlots& recorded) {
    return static_cast<std::int32_t>(SlotWord(recorded.at(rq7map::kFactoryNumberSlot - 1)));
}

std::int64_t FactoryNumberOfImage(const TCoefImageBytes& image) {
    return static_cast<std::int32_t>(SlotWordOfImage(image, rq7map::kFactoryNumberSlot));
}

namespace {
// The adapter's factory number after a write (see NoteWriteLeft).
std::int64_t FactoryNumberAfterWrite(const TCoefImageBytes& sent, const TAsLeft& left,
                                     const std::optional<TAsFound>& found) {
    if (left.State.at(rq7map::kFactoryNumberSlot - 1) == TRecordedSlotState::Old && found) {
        return FactoryNumberOfSlots(found->Slots);
    }
    return FactoryNumberOfImage(sent);
}
} // namespace

void NoteWriteLeft(TServiceRecord& record, const TCoefImageBytes& sent, const TWriteReport& report,
                   std::optional<bool> verified, TRecordOutcome outcome) {
    record.AsLeft = AsLeftOf(sent, report, verified);
    record.FactoryNumber = FactoryNumberAfterWrite(sent, *record.AsLeft, record.AsFound);
    record.Outcome = std::move(outcome);
}

std::optional<TRecordedFile> RecordedFileOf(const std::string& path) {
    constexpr qint64 kMostBytes = 1 << 20;
    const QString name = QString::fromStdString(path);
    const QFileInfo info(name);
    if (!info.isFile() || info.size() > kMostBytes) {
        return std::nullopt;
    }
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray bytes = file.read(kMostBytes + 1);
    if (bytes.size() > kMostBytes || file.error() != QFileDevice::NoError) {
        return std::nullopt;
    }
    return TRecordedFile{path,
                         QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString()};
}

#include "record/RecordStore.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <sqlite3.h>

#include <array>
#include <cstring>
#include <utility>

#include "coef/WriteJournal.h"
#include "record/RecordJsonParts.h"

namespace {

// PRAGMA application_id of a store of ours ("RQ7H"): a SQLite file without it is someone else's.
constexpr int kApplicationId = 0x52513748;
// How long a writer waits for another one to finish its append.
constexpr int kBusyTimeoutMs = 15000;
// The previous hash of the first record.
const std::string kNoPreviousHash(64, '0');

constexpr const char* kRecordColumns =
    "id, made_at, station, user_name, program, port, operation, factory_number, as_found, as_left, "
    "outcome_code, outcome_message, file_name, file_sha256, previous_hash, hash";

// The schema of version 1. Every query the program makes on it is plain SQL (SELECT, INSERT, one UPDATE
// of the chain's head); the triggers and pragmas are SQLite's own.
constexpr const char* kSchemaV1 = R"sql(
CREATE TABLE service_record (
    id INTEGER PRIMARY KEY,
    made_at TEXT NOT NULL,
    station TEXT NOT NULL,
    user_name TEXT NOT NULL,
    program TEXT NOT NULL,
    port TEXT NOT NULL,
    operation TEXT NOT NULL,
    factory_number INTEGER,
    as_found TEXT,
    as_left TEXT,
    outcome_code INTEGER,
    outcome_message TEXT NOT NULL,
    file_name TEXT,
    file_sha256 TEXT,
    previous_hash TEXT NOT NULL,
    hash TEXT NOT NULL
);
CREATE INDEX service_record_factory_number ON service_record (factory_number, id);
CREATE TABLE chain_head (
    last_id INTEGER NOT NULL,
    last_hash TEXT NOT NULL
);
INSERT INTO chain_head (last_id, last_hash) VALUES (0, '0000000000000000000000000000000000000000000000000000000000000000');
CREATE TRIGGER service_record_never_updated BEFORE UPDATE ON service_record
BEGIN SELECT RAISE(ABORT, 'a service record is never changed; a correction is a new record'); END;
CREATE TRIGGER service_record_never_deleted BEFORE DELETE ON service_record
BEGIN SELECT RAISE(ABORT, 'a service record is never deleted'); END;
CREATE TRIGGER chain_head_never_deleted BEFORE DELETE ON chain_head
BEGIN SELECT RAISE(ABORT, 'the chain head is never deleted'); END;
)sql";

std::string Sha256Hex(const std::string& text) {
    return QCryptographicHash::hash(QByteArray::fromStdString(text), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// The text a record's hash is made of: its JSON (id included) and the hash of the record before it.
std::string ChainHash(const TServiceRecord& record, const std::string& previousHash) {
    return Sha256Hex("rq7 service record 1\n" + RecordJson(record) + "\n" + previousHash);
}

bool IsDamage(int code) {
    const int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

std::uint32_t BigEndian32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

enum class THeaderVerdict { Empty, Sound, Foreign, Damaged };

// What the first 100 bytes of an existing file say: a SQLite file at all, and one whose size fits its
// header (a cut file is damaged). Read before SQLite opens it, so that nothing of a foreign file is touched.
THeaderVerdict HeaderVerdict(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return THeaderVerdict::Sound; // SQLite's open says why
    }
    const qint64 size = file.size();
    if (size == 0) {
        return THeaderVerdict::Empty;
    }
    const QByteArray header = file.read(100);
    if (header.size() < 100 || std::memcmp(header.constData(), "SQLite format 3", 16) != 0) {
        return THeaderVerdict::Foreign;
    }
    const auto* h = reinterpret_cast<const unsigned char*>(header.constData());
    std::uint32_t pageSize = (std::uint32_t{h[16]} << 8) | h[17];
    if (pageSize == 1) {
        pageSize = 65536;
    }
    if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) {
        return THeaderVerdict::Damaged;
    }
    const std::uint32_t pages = BigEndian32(h + 28);
    const bool pagesValid = pages != 0 && BigEndian32(h + 24) == BigEndian32(h + 92);
    if (pagesValid && static_cast<std::uint64_t>(size) < std::uint64_t{pages} * pageSize) {
        return THeaderVerdict::Damaged;
    }
    return THeaderVerdict::Sound;
}

// The open SQLite file and the messages that name it.
struct TConnection {
    sqlite3* Db = nullptr;
    std::string Path;

    TConnection() = default;
    ~TConnection() { sqlite3_close_v2(Db); }
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    [[noreturn]] void Fail(const std::string& what) const {
        throw ERecordStore("Журнал " + Path + ": " + what);
    }

    // A failure of SQLite: damage named as such, anything else with SQLite's own words.
    [[noreturn]] void FailOn(int code, const char* doing) const {
        if (IsDamage(code)) {
            Fail("файл повреждён");
        }
        if ((code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED) {
            Fail(std::string(doing) + ": файл занят другой программой");
        }
        Fail(std::string(doing) + " (" + (Db != nullptr ? sqlite3_errmsg(Db) : sqlite3_errstr(code)) + ")");
    }

    void Exec(const char* sql, const char* doing) const {
        const int rc = sqlite3_exec(Db, sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            FailOn(rc, doing);
        }
    }
};

// One prepared statement, finalized when it goes.
class TStatement {
public:
    TStatement(const TConnection& impl, const std::string& sql, const char* doing)
        : impl_(impl), doing_(doing) {
        const int rc =
            sqlite3_prepare_v2(impl.Db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
        if (rc != SQLITE_OK) {
            impl.FailOn(rc, doing);
        }
    }
    ~TStatement() { sqlite3_finalize(stmt_); }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;

    void Bind(int index, const std::string& text) {
        Check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    }
    void Bind(int index, std::int64_t value) { Check(sqlite3_bind_int64(stmt_, index, value)); }
    template <typename T> void Bind(int index, const std::optional<T>& value) {
        if (value) {
            Bind(index, *value);
        } else {
            Check(sqlite3_bind_null(stmt_, index));
        }
    }

    // True while there is a row.
    bool Step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            impl_.FailOn(rc, doing_);
        }
        return false;
    }

    bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::int64_t Integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string Text(int column) const {
        const auto* text = sqlite3_column_text(stmt_, column);
        return text != nullptr ? std::string(reinterpret_cast<const char*>(text),
                                             static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                               : std::string();
    }
    std::optional<std::string> OptionalText(int column) const {
        return IsNull(column) ? std::nullopt : std::optional<std::string>(Text(column));
    }

private:
    void Check(int rc) const {
        if (rc != SQLITE_OK) {
            impl_.FailOn(rc, doing_);
        }
    }

    const TConnection& impl_;
    const char* doing_;
    sqlite3_stmt* stmt_ = nullptr;
};

// A record as its row holds it (the columns of kRecordColumns), and the row's stored hashes. A part that
// no longer reads (changed behind the program's back) comes back empty; the chain check finds it.
struct TStoredRecord {
    TServiceRecord Record;
    std::string PreviousHash;
    std::string Hash;
};

TStoredRecord RecordOfRow(const TStatement& row) {
    TStoredRecord stored;
    TServiceRecord& r = stored.Record;
    r.Id = row.Integer(0);
    r.Time = row.Text(1);
    r.Station = row.Text(2);
    r.User = row.Text(3);
    r.Program = row.Text(4);
    r.Port = row.Text(5);
    const std::string operation = row.Text(6);
    r.Operation = OperationFromName(operation).value_or(TRecordOperation::Read);
    if (!row.IsNull(7)) {
        r.FactoryNumber = row.Integer(7);
    }
    if (const auto asFound = row.OptionalText(8)) {
        r.AsFound = AsFoundFromJson(*asFound);
    }
    if (const auto asLeft = row.OptionalText(9)) {
        r.AsLeft = AsLeftFromJson(*asLeft);
    }
    if (!row.IsNull(10)) {
        r.Outcome.Code = static_cast<int>(row.Integer(10));
    }
    r.Outcome.Message = row.Text(11);
    if (!row.IsNull(12) || !row.IsNull(13)) {
        r.File = TRecordedFile{row.Text(12), row.Text(13)};
    }
    stored.PreviousHash = row.Text(14);
    stored.Hash = row.Text(15);
    // A row whose columns no longer make the record they were written from cannot match its hash.
    if (!OperationFromName(operation) || (row.OptionalText(8) && !r.AsFound) ||
        (row.OptionalText(9) && !r.AsLeft)) {
        stored.Hash = "unreadable";
    }
    return stored;
}

enum class TStoreState { Fresh, Ours, Older, Newer, Foreign };

std::int64_t IntegerOf(const TConnection& impl, const char* sql) {
    TStatement statement(impl, sql, "не удаётся прочитать");
    statement.Step();
    return statement.Integer(0);
}

std::int64_t UserVersion(const TConnection& impl) {
    return IntegerOf(impl, "PRAGMA user_version");
}

TStoreState InspectStore(const TConnection& impl) {
    const std::int64_t id = IntegerOf(impl, "PRAGMA application_id");
    const std::int64_t version = UserVersion(impl);
    const std::int64_t count = IntegerOf(impl, "SELECT count(*) FROM sqlite_master");
    if (id == 0 && version == 0 && count == 0) {
        return TStoreState::Fresh;
    }
    if (id != kApplicationId) {
        return TStoreState::Foreign;
    }
    if (version > TRecordStore::kSchemaVersion) {
        return TStoreState::Newer;
    }
    return version < TRecordStore::kSchemaVersion ? TStoreState::Older : TStoreState::Ours;
}

// Brings a store of ours (or a fresh file) to the current schema, step by step from its version.
void Migrate(const TConnection& impl) {
    impl.Exec("BEGIN IMMEDIATE", "не удаётся создать");
    try {
        // Another program may have made it meanwhile: look again under the write lock.
        const TStoreState state = InspectStore(impl);
        if (state == TStoreState::Fresh || state == TStoreState::Older) {
            if (UserVersion(impl) < 1) {
                impl.Exec(kSchemaV1, "не удаётся создать");
                impl.Exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str(),
                          "не удаётся создать");
            }
            impl.Exec(("PRAGMA user_version = " + std::to_string(TRecordStore::kSchemaVersion)).c_str(),
                      "не удаётся создать");
        }
        impl.Exec("COMMIT", "не удаётся создать");
    } catch (...) {
        sqlite3_exec(impl.Db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

// A store of ours whose tables are gone or do not read is damaged.
void ProbeTables(const TConnection& impl) {
    TStatement probe(impl, std::string("SELECT ") + kRecordColumns + " FROM service_record WHERE id = 0",
                     "не удаётся прочитать");
    probe.Step();
    TStatement head(impl, "SELECT last_id, last_hash FROM chain_head", "не удаётся прочитать");
    if (!head.Step()) {
        impl.Fail("файл повреждён");
    }
}

std::string JournalMode(const TConnection& impl) {
    TStatement mode(impl, "PRAGMA journal_mode", "не удаётся прочитать");
    mode.Step();
    return mode.Text(0);
}

// A new store is made whole beside its place and moved in only while no file is there, so that a program
// opening the same store at that moment finds either no file or a whole store, never one half made (whose
// first bytes would not yet say SQLite). When another program's store got there first, ours goes.
void CreateWhole(const QString& path, const std::string& shownPath) {
    const QString made = path + QStringLiteral(".new-") +
                         QString::number(QCoreApplication::applicationPid()) + QLatin1Char('-') +
                         QString::number(QRandomGenerator::global()->generate(), 16);
    {
        TConnection connection;
        connection.Path = shownPath;
        const int rc = sqlite3_open_v2(made.toUtf8().constData(), &connection.Db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        if (rc != SQLITE_OK) {
            QFile::remove(made);
            connection.FailOn(rc, "не удаётся создать");
        }
        try {
            Migrate(connection);
            connection.Exec("PRAGMA journal_mode = WAL", "не удаётся создать");
        } catch (...) {
            sqlite3_close_v2(connection.Db);
            connection.Db = nullptr;
            for (const char* end : {"", "-wal", "-shm"}) {
                QFile::remove(made + QLatin1String(end));
            }
            throw;
        }
    } // closed: everything is in the one file, its -wal and -shm gone
    if (!QFile::rename(made, path)) {
        QFile::remove(made);
    }
}

} // namespace

struct TRecordStore::TImpl : TConnection {};

TRecordStore::TRecordStore(std::string path) : path_(std::move(path)), impl_(new TImpl) {
    try {
        impl_->Path = path_;
        if (path_.empty()) {
            throw ERecordStore("Журнал: не найдена папка данных пользователя (задайте RQ7_HISTORY)");
        }
        const QString file = QString::fromStdString(path_);
        const QFileInfo info(file);
        if (info.exists() && !info.isFile()) {
            impl_->Fail("это не файл");
        }
        if (!info.exists() && !QDir().mkpath(info.absolutePath())) {
            impl_->Fail("не удаётся создать папку " +
                        QDir::toNativeSeparators(info.absolutePath()).toStdString());
        }
        if (!info.exists()) {
            CreateWhole(file, path_);
        }
        const THeaderVerdict verdict = HeaderVerdict(file);
        if (verdict == THeaderVerdict::Foreign) {
            impl_->Fail("файл не является журналом rq7");
        }
        if (verdict == THeaderVerdict::Damaged) {
            impl_->Fail("файл повреждён");
        }
        const int rc =
            sqlite3_open_v2(path_.c_str(), &impl_->Db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        if (rc != SQLITE_OK) {
            impl_->FailOn(rc, "не удаётся открыть");
        }
        sqlite3_extended_result_codes(impl_->Db, 1);
        sqlite3_busy_timeout(impl_->Db, kBusyTimeoutMs);
        // No checkpoint when the store closes: it would cost a command that recorded a write about
        // 20 ms of waiting for the disk. The WAL is folded in as it grows (every 1000 pages), and SQLite
        // reads it with the file: the store is rq7-history.sqlite with its -wal file beside it.
        sqlite3_db_config(impl_->Db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        TStoreState state = TStoreState::Fresh;
        try {
            state = InspectStore(*impl_);
        } catch (const ERecordStore&) {
            // The header is SQLite's, yet SQLite cannot read it.
            if (verdict == THeaderVerdict::Sound) {
                impl_->Fail("файл повреждён");
            }
            throw;
        }
        switch (state) {
        case TStoreState::Foreign:
            impl_->Fail("файл не является журналом rq7");
        case TStoreState::Newer:
            impl_->Fail("файл создан более новой версией программы");
        case TStoreState::Fresh:
        case TStoreState::Older:
            Migrate(*impl_);
            break;
        case TStoreState::Ours:
            break;
        }
        ProbeTables(*impl_);
        if (JournalMode(*impl_) != "wal") {
            impl_->Exec("PRAGMA journal_mode = WAL", "не удаётся открыть");
        }
        impl_->Exec("PRAGMA synchronous = FULL", "не удаётся открыть");
    } catch (...) {
        delete impl_;
        throw;
    }
}

TRecordStore::~TRecordStore() {
    delete impl_;
}

std::string TRecordStore::DefaultPath() {
    const QString chosen = qEnvironmentVariable("RQ7_HISTORY");
    if (!chosen.isEmpty()) {
        return chosen.toStdString();
    }
    return UserDataFile("rq7-history.sqlite");
}

const std::string& TRecordStore::Path() const {
    return path_;
}

std::int64_t TRecordStore::Append(const TServiceRecord& record) {
    TImpl& impl = *impl_;
    impl.Exec("BEGIN IMMEDIATE", "не удаётся записать");
    try {
        TStatement head(impl, "SELECT last_id, last_hash FROM chain_head", "не удаётся записать");
        if (!head.Step()) {
            impl.Fail("файл повреждён");
        }
        TServiceRecord added = record;
        added.Id = head.Integer(0) + 1;
        const std::string previousHash = head.Text(1);
        const std::string hash = ChainHash(added, previousHash);
        TStatement insert(impl,
                          std::string("INSERT INTO service_record (") + kRecordColumns +
                              ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                          "не удаётся записать");
        insert.Bind(1, added.Id);
        insert.Bind(2, added.Time);
        insert.Bind(3, added.Station);
        insert.Bind(4, added.User);
        insert.Bind(5, added.Program);
        insert.Bind(6, added.Port);
        insert.Bind(7, std::string(OperationName(added.Operation)));
        insert.Bind(8, added.FactoryNumber);
        insert.Bind(9,
                    added.AsFound ? std::optional<std::string>(AsFoundJson(*added.AsFound)) : std::nullopt);
        insert.Bind(10, added.AsLeft ? std::optional<std::string>(AsLeftJson(*added.AsLeft)) : std::nullopt);
        insert.Bind(11, added.Outcome.Code ? std::optional<std::int64_t>(*added.Outcome.Code) : std::nullopt);
        insert.Bind(12, added.Outcome.Message);
        insert.Bind(13, added.File ? std::optional<std::string>(added.File->Name) : std::nullopt);
        insert.Bind(14, added.File ? std::optional<std::string>(added.File->Sha256) : std::nullopt);
        insert.Bind(15, previousHash);
        insert.Bind(16, hash);
        insert.Step();
        TStatement move(impl, "UPDATE chain_head SET last_id = ?, last_hash = ?", "не удаётся записать");
        move.Bind(1, added.Id);
        move.Bind(2, hash);
        move.Step();
        impl.Exec("COMMIT", "не удаётся записать");
        return added.Id;
    } catch (...) {
        sqlite3_exec(impl.Db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::optional<TServiceRecord> TRecordStore::Find(std::int64_t id) const {
    TStatement select(*impl_, std::string("SELECT ") + kRecordColumns + " FROM service_record WHERE id = ?",
                      "не удаётся прочитать");
    select.Bind(1, id);
    if (!select.Step()) {
        return std::nullopt;
    }
    return RecordOfRow(select).Record;
}

std::vector<TServiceRecord> TRecordStore::List(const TRecordFilter& filter) const {
    std::string sql = std::string("SELECT ") + kRecordColumns + " FROM service_record WHERE 1 = 1";
    if (filter.FactoryNumber) {
        sql += " AND factory_number = ?";
    }
    if (!filter.Since.empty()) {
        sql += " AND made_at >= ?"; // "2026-12-10" sorts before every time of that day
    }
    sql += " ORDER BY id DESC";
    if (filter.Limit > 0) {
        sql += " LIMIT ?";
    }
    TStatement select(*impl_, sql, "не удаётся прочитать");
    int index = 0;
    if (filter.FactoryNumber) {
        select.Bind(++index, *filter.FactoryNumber);
    }
    if (!filter.Since.empty()) {
        select.Bind(++index, filter.Since);
    }
    if (filter.Limit > 0) {
        select.Bind(++index, static_cast<std::int64_t>(filter.Limit));
    }
    std::vector<TServiceRecord> records;
    while (select.Step()) {
        records.push_back(RecordOfRow(select).Record);
    }
    return records;
}

std::optional<TServiceRecord> TRecordStore::NewestWriteTo(std::int64_t factoryNumber) const {
    TStatement select(
        *impl_,
        std::string("SELECT ") + kRecordColumns +
            " FROM service_record WHERE factory_number = ? AND operation IN ('write', 'limits', "
            "'restore') ORDER BY id DESC LIMIT 1",
        "не удаётся прочитать");
    select.Bind(1, factoryNumber);
    if (!select.Step()) {
        return std::nullopt;
    }
    return RecordOfRow(select).Record;
}

std::vector<TChainProblem> TRecordStore::Check() const {
    {
        TStatement integrity(*impl_, "PRAGMA quick_check", "не удаётся проверить");
        if (integrity.Step() && integrity.Text(0) != "ok") {
            impl_->Fail("файл повреждён");
        }
    }
    std::vector<TChainProblem> problems;
    auto note = [&](std::int64_t id, const char* text) {
        if (problems.empty() || problems.back().Id != id || problems.back().Text != text) {
            problems.push_back({id, text});
        }
    };
    TStatement select(*impl_, std::string("SELECT ") + kRecordColumns + " FROM service_record ORDER BY id",
                      "не удаётся проверить");
    std::int64_t lastId = 0;
    std::string lastHash = kNoPreviousHash;
    while (select.Step()) {
        const TStoredRecord stored = RecordOfRow(select);
        const std::int64_t id = stored.Record.Id;
        if (stored.PreviousHash != lastHash) {
            // The record before it is gone, or it was changed along with its own hash.
            if (id != lastId + 1) {
                note(id, "перед ней удалена запись");
            } else {
                note(lastId, "запись изменена");
            }
        }
        if (ChainHash(stored.Record, stored.PreviousHash) != stored.Hash) {
            note(id, "запись изменена");
        }
        lastId = id;
        lastHash = stored.Hash;
    }
    TStatement head(*impl_, "SELECT last_id, last_hash FROM chain_head", "не удаётся проверить");
    if (!head.Step()) {
        note(lastId, "отметка последней записи удалена");
    } else if (head.Integer(0) > lastId) {
        note(head.Integer(0), "запись удалена");
    } else if (head.Integer(0) < lastId || head.Text(1) != lastHash) {
        note(lastId, "запись изменена");
    }
    return problems;
}

// The service record and its store, against real SQLite files in a temporary folder.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <sqlite3.h>

#include <fstream>
#include <iterator>
#include <set>

#include "link/CoefSequence.h"
#include "record/RecordStore.h"
#include "support/Files.h"

namespace {

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TRecordedSlots SlotsCounting(std::uint8_t from) {
    TRecordedSlots slotBytes{};
    for (std::size_t i = 0; i < slotBytes.size(); ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            slotBytes[i][b] = static_cast<std::uint8_t>(from + 4 * i + b);
        }
    }
    return slotBytes;
}

// A write record with every part filled in.
TServiceRecord FullRecord(std::int64_t factory) {
    TServiceRecord r;
    r.Time = "2026-12-10T09:14:03+03:00";
    r.Station = "СЕРВИС-1";
    r.User = "ivanov (Иванов И. И.)";
    r.Program = "rq7cli 0.1.0";
    r.Port = "/dev/ttyUSB0";
    r.Operation = TRecordOperation::Write;
    r.FactoryNumber = factory;
    r.AsFound = TAsFound{SlotsCounting(0xf0), true, "2026-12-10T09:13:58+03:00"};
    TAsLeft left;
    left.Sent = SlotsCounting(0x10);
    left.State.fill(TRecordedSlotState::New);
    left.State[5] = TRecordedSlotState::Unknown;
    left.State[6] = TRecordedSlotState::Old;
    left.Verified = false;
    r.AsLeft = left;
    r.Outcome = {0, "Записано"};
    r.File = TRecordedFile{"коэф \"1\".txt", std::string(64, 'a')};
    return r;
}

TServiceRecord ReadRecord(std::int64_t factory, const std::string& time = "2026-12-10T09:14:03+03:00") {
    TServiceRecord r;
    r.Time = time;
    r.Station = "st";
    r.User = "u";
    r.Program = "rq7 0.1.0";
    r.Port = "COM1";
    r.Operation = TRecordOperation::Read;
    r.FactoryNumber = factory;
    r.Outcome = {0, ""};
    return r;
}

// Raw SQL on the store's file, as someone else's program would run it.
class TRawDb {
public:
    explicit TRawDb(const std::string& path) { EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK); }
    ~TRawDb() { sqlite3_close(db_); }
    TRawDb(const TRawDb&) = delete;
    TRawDb& operator=(const TRawDb&) = delete;
    // SQLite's result code; the error text in Error().
    int Exec(const std::string& sql) {
        char* message = nullptr;
        const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
        error_ = message != nullptr ? message : "";
        sqlite3_free(message);
        return rc;
    }
    const std::string& Error() const { return error_; }

private:
    sqlite3* db_ = nullptr;
    std::string error_;
};

std::string ExpectStoreRefused(const std::string& path) {
    try {
        TRecordStore store(path);
        store.List();
        store.Append(ReadRecord(1));
    } catch (const ERecordStore& e) {
        return e.what();
    }
    ADD_FAILURE() << "the store opened and wrote: " << path;
    return {};
}

} // namespace

TEST(ServiceRecord, JsonHasExactlyTheKeysAndReadsBack) {
    TServiceRecord empty = ReadRecord(101001);
    empty.FactoryNumber.reset();
    empty.Outcome = {std::nullopt, kOutcomeBegun};
    TServiceRecord control = FullRecord(7);
    control.Port = "tab\there\nline \\ \x01";
    const TServiceRecord cases[] = {FullRecord(101001), empty, control};
    for (const TServiceRecord& r : cases) {
        const std::string json = RecordJson(r);
        const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
        EXPECT_EQ(object.keys(),
                  (QStringList{"as_found", "as_left", "factory_number", "file", "id", "operation", "outcome",
                               "port", "program", "station", "time", "user"}))
            << json;
        const auto back = RecordFromJson(json);
        ASSERT_TRUE(back.has_value()) << json;
        EXPECT_EQ(RecordJson(*back), json);
        EXPECT_EQ(back->Port, r.Port);
    }
    const std::string json = RecordJson(FullRecord(101001));
    const QJsonDocument o = QJsonDocument::fromJson(QByteArray::fromStdString(json));
    EXPECT_EQ(o["as_found"].toObject().keys(), (QStringList{"checksum_ok", "read_at", "slots"}));
    EXPECT_EQ(o["as_left"].toObject().keys(), (QStringList{"sent", "state", "verified"}));
    EXPECT_EQ(o["outcome"].toObject().keys(), (QStringList{"code", "message"}));
    EXPECT_EQ(o["file"].toObject().keys(), (QStringList{"name", "sha256"}));
    EXPECT_EQ(o["as_found"]["slots"][0].toString(), "f0f1f2f3");
    EXPECT_EQ(o["as_left"]["sent"][15].toString(), "4c4d4e4f");
    EXPECT_EQ(o["as_left"]["state"][5].toString(), "unknown");
    EXPECT_EQ(o["as_left"]["state"][6].toString(), "old");
    EXPECT_EQ(o["as_left"]["state"][0].toString(), "new");
    EXPECT_TRUE(o["as_left"]["verified"].isBool());
    EXPECT_EQ(o["operation"].toString(), "write");
    EXPECT_EQ(o["factory_number"].toInteger(), 101001);
    EXPECT_TRUE(
        QJsonDocument::fromJson(QByteArray::fromStdString(RecordJson(empty)))["outcome"]["code"].isNull());
}

TEST(ServiceRecord, TextsThatAreNotARecordGiveNothing) {
    const std::string good = RecordJson(FullRecord(5));
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        const auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    const std::string cases[] = {
        "",
        "[]",
        "{}",
        replaced("\"file\":", "\"extra\":1,\"file\":"),             // a key too many
        replaced(",\"port\":\"/dev/ttyUSB0\"", ""),                 // a key missing
        replaced("\"f0f1f2f3\"", "\"f0f1f2g3\""),                   // not hex
        replaced("\"f0f1f2f3\",", ""),                              // 15 slotBytes
        replaced("\"unknown\"", "\"lost\""),                        // no such state
        replaced("\"write\"", "\"erase\""),                         // no such operation
        replaced("\"factory_number\":5", "\"factory_number\":5.5"), // not an integer
        replaced("\"checksum_ok\":true", "\"checksum_ok\":1"),
        replaced("\"verified\":false", "\"verified\":\"no\""),
    };
    for (const std::string& text : cases) {
        EXPECT_FALSE(RecordFromJson(text).has_value()) << text;
    }
}

TEST(ServiceRecord, SlotsImagesAndWriteStates) {
    TCoefImageBytes image{};
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 3 + 1);
    }
    const TRecordedSlots slotBytes = RecordedSlotsOf(image);
    EXPECT_EQ(slotBytes[0], (TSlotBytes{13, 16, 19, 22})); // bytes 4..7 are slot 1
    TCoefImageBytes back = ImageOfRecordedSlots(slotBytes);
    EXPECT_EQ(std::vector<std::uint8_t>(back.begin(), back.begin() + 4), std::vector<std::uint8_t>(4, 0));
    std::fill(image.begin(), image.begin() + 4, 0);
    EXPECT_EQ(back, image);

    TWriteReport report;
    report.Begun = true;
    for (int k = 1; k <= 16; ++k) {
        report.States[static_cast<std::size_t>(k)] = k <= 4 ? TSlotState::New : TSlotState::Old;
    }
    report.States[5] = TSlotState::Unknown;
    const TAsLeft left = AsLeftOf(image, report, true);
    EXPECT_EQ(left.Sent, slotBytes);
    EXPECT_EQ(left.State[3], TRecordedSlotState::New);
    EXPECT_EQ(left.State[4], TRecordedSlotState::Unknown);
    EXPECT_EQ(left.State[5], TRecordedSlotState::Old);
    EXPECT_EQ(left.Verified, true);
    report.Begun = false; // nothing went out: every slot stays as it was
    const TAsLeft notBegun = AsLeftOf(image, report, std::nullopt);
    EXPECT_EQ(std::count(notBegun.State.begin(), notBegun.State.end(), TRecordedSlotState::Old), 16);
}

TEST(ServiceRecord, NewRecordOfThisComputer) {
    const TServiceRecord r = NewRecord(TRecordOperation::Limits, "rq7 0.1.0", "COM3", "Иванов И. И.");
    EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$)")
                    .match(QString::fromStdString(r.Time))
                    .hasMatch())
        << r.Time;
    EXPECT_FALSE(r.Station.empty());
    EXPECT_EQ(r.User, SystemUserName() + " (Иванов И. И.)");
    EXPECT_FALSE(SystemUserName().empty());
    EXPECT_EQ(NewRecord(TRecordOperation::Read, "rq7", "COM3").User, SystemUserName());
    EXPECT_EQ(r.Program, "rq7 0.1.0");
    EXPECT_EQ(r.Port, "COM3");
    EXPECT_EQ(r.Operation, TRecordOperation::Limits);
    {
        ScopedEnv tz("TZ", "UTC");
        tzset();
        EXPECT_TRUE(QString::fromStdString(RecordTimeNow()).endsWith("+00:00")) << RecordTimeNow();
    }
    tzset();
}

TEST(RecordStore, AppendsFindsAndListsNewestFirst) {
    TempDir dir;
    const std::string path = dir / "a/b/rq7-history.sqlite"; // its folders made as needed
    {
        TRecordStore store(path);
        EXPECT_EQ(store.Path(), path);
        EXPECT_TRUE(store.List().empty());
        EXPECT_EQ(store.Append(FullRecord(101001)), 1);
        EXPECT_EQ(store.Append(ReadRecord(101001, "2026-12-11T08:00:00+03:00")), 2);
        EXPECT_EQ(store.Append(ReadRecord(1010010, "2026-12-12T08:00:00+03:00")), 3);
        TServiceRecord limits = FullRecord(101001);
        limits.Operation = TRecordOperation::Limits;
        limits.Time = "2026-12-13T00:00:00+03:00";
        EXPECT_EQ(store.Append(limits), 4);
        EXPECT_EQ(store.Append(ReadRecord(101001, "2026-12-14T08:00:00+03:00")), 5);
    }
    TRecordStore store(path); // what was appended is there when it opens again
    TServiceRecord expected = FullRecord(101001);
    expected.Id = 1;
    ASSERT_TRUE(store.Find(1).has_value());
    EXPECT_EQ(RecordJson(*store.Find(1)), RecordJson(expected));
    EXPECT_FALSE(store.Find(6).has_value());

    auto ids = [&](const TRecordFilter& filter) {
        std::vector<std::int64_t> out;
        for (const TServiceRecord& r : store.List(filter)) {
            out.push_back(r.Id);
        }
        return out;
    };
    const struct {
        TRecordFilter Filter;
        std::vector<std::int64_t> Ids;
    } cases[] = {
        {{}, {5, 4, 3, 2, 1}},
        {{std::stoll("0101001"), "", 0}, {5, 4, 2, 1}}, // 0101001 is 101001, not 1010010
        {{1010010, "", 0}, {3}},
        {{424242, "", 0}, {}},
        {{std::nullopt, "2026-12-12", 0}, {5, 4, 3}}, // the whole day of the date counts
        {{101001, "2026-12-12", 0}, {5, 4}},
        {{std::nullopt, "", 2}, {5, 4}},
        {{std::nullopt, "2027-01-01", 0}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ids(c.Filter), c.Ids) << (c.Filter.FactoryNumber ? *c.Filter.FactoryNumber : -1) << " "
                                        << c.Filter.Since << " " << c.Filter.Limit;
    }
    ASSERT_TRUE(store.NewestWriteTo(101001).has_value());
    EXPECT_EQ(store.NewestWriteTo(101001)->Id, 4);
    EXPECT_FALSE(store.NewestWriteTo(1010010).has_value()); // only a read of it
    EXPECT_TRUE(store.Check().empty());
}

TEST(RecordStore, DefaultPathFollowsTheEnvironment) {
    {
        ScopedEnv history("RQ7_HISTORY", "/srv/x/h.sqlite");
        EXPECT_EQ(TRecordStore::DefaultPath(), "/srv/x/h.sqlite");
    }
    ScopedEnv history("RQ7_HISTORY", std::nullopt);
    ScopedEnv home("HOME", "/home/tech");
    {
        ScopedEnv data("XDG_DATA_HOME", "/data");
        EXPECT_EQ(TRecordStore::DefaultPath(), "/data/rq7/rq7-history.sqlite");
    }
    for (const std::optional<std::string>& data :
         {std::optional<std::string>(), std::optional<std::string>("rel")}) {
        ScopedEnv xdg("XDG_DATA_HOME", data);
        EXPECT_EQ(TRecordStore::DefaultPath(), "/home/tech/.local/share/rq7/rq7-history.sqlite");
    }
}

TEST(RecordStore, RecordsAreNeverUpdatedOrDeleted) {
    TempDir dir;
    const std::string path = dir / "h.sqlite";
    {
        TRecordStore store(path);
        store.Append(FullRecord(1));
        store.Append(FullRecord(2));
    }
    const std::string statements[] = {
        "UPDATE service_record SET factory_number = 3 WHERE id = 1",
        "DELETE FROM service_record WHERE id = 2",
        "DELETE FROM service_record",
        "DELETE FROM chain_head",
    };
    TRawDb raw(path);
    for (const std::string& sql : statements) {
        EXPECT_NE(raw.Exec(sql), SQLITE_OK) << sql;
        EXPECT_NE(raw.Error().find("never"), std::string::npos) << raw.Error();
    }
    TRecordStore store(path);
    EXPECT_EQ(store.List().size(), 2U);
    EXPECT_EQ(store.Find(1)->FactoryNumber, 1);
    EXPECT_TRUE(store.Check().empty());
}

TEST(RecordStore, CheckNamesARecordChangedOrRemovedBehindItsBack) {
    const char* dropTriggers =
        "DROP TRIGGER service_record_never_updated; DROP TRIGGER service_record_never_deleted;";
    const struct {
        const char* Tamper;
        std::vector<std::pair<std::int64_t, std::string>> Problems;
    } cases[] = {
        {"UPDATE service_record SET factory_number = 9 WHERE id = 2", {{2, "запись изменена"}}},
        {"UPDATE service_record SET as_found = replace(as_found, 'f0f1f2f3', 'f0f1f2f4') WHERE id = 3",
         {{3, "запись изменена"}}},
        {"UPDATE service_record SET as_left = 'garbage' WHERE id = 1", {{1, "запись изменена"}}},
        {"UPDATE service_record SET outcome_message = 'ok', hash = 'x' WHERE id = 2",
         {{2, "запись изменена"}}},
        {"DELETE FROM service_record WHERE id = 2", {{3, "перед ней удалена запись"}}},
        {"DELETE FROM service_record WHERE id = 1", {{2, "перед ней удалена запись"}}},
        {"DELETE FROM service_record WHERE id = 4", {{4, "запись удалена"}}},
        {"UPDATE service_record SET user_name = 'x' WHERE id = 2; DELETE FROM service_record WHERE id = 4",
         {{2, "запись изменена"}, {4, "запись удалена"}}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir / "h.sqlite";
        {
            TRecordStore store(path);
            for (int i = 0; i < 4; ++i) {
                store.Append(FullRecord(100 + i));
            }
            ASSERT_TRUE(store.Check().empty());
        }
        {
            TRawDb raw(path);
            ASSERT_EQ(raw.Exec(std::string(dropTriggers) + c.Tamper), SQLITE_OK) << raw.Error();
        }
        TRecordStore store(path);
        std::vector<std::pair<std::int64_t, std::string>> found;
        for (const TChainProblem& p : store.Check()) {
            found.emplace_back(p.Id, p.Text);
        }
        EXPECT_EQ(found, c.Problems) << c.Tamper;
    }
}

TEST(RecordStore, FilesNotOursDamagedOrNewerAreLeftUntouched) {
    TempDir dir;
    const std::string ours = dir / "ours.sqlite";
    {
        TRecordStore store(ours);
        for (int i = 0; i < 200; ++i) {
            store.Append(FullRecord(i));
        }
    }
    // A clean copy: the store's WAL folded into the file.
    {
        TRawDb raw(ours);
        ASSERT_EQ(raw.Exec("PRAGMA wal_checkpoint(TRUNCATE)"), SQLITE_OK);
    }
    const std::string good = ReadBytes(ours);
    ASSERT_GT(good.size(), 8192U);

    const std::string foreign = dir / "foreign.sqlite";
    {
        TRawDb raw(foreign);
        ASSERT_EQ(raw.Exec("CREATE TABLE t (x); INSERT INTO t VALUES (1)"), SQLITE_OK);
    }
    const std::string newer = dir / "newer.sqlite";
    WriteBytes(newer, good);
    {
        TRawDb raw(newer);
        ASSERT_EQ(raw.Exec("PRAGMA user_version = 99"), SQLITE_OK);
        ASSERT_EQ(raw.Exec("PRAGMA wal_checkpoint(TRUNCATE)"), SQLITE_OK);
    }
    std::string cutBytes = good.substr(0, good.size() / 2);
    std::string headerBytes = good;
    headerBytes[16] = 3; // page size 0x03xx: not a power of two
    std::string schemaBytes = good;
    for (std::size_t i = 100; i < 1024; ++i) {
        schemaBytes[i] = static_cast<char>(0x5a); // the first page's table of tables
    }
    const struct {
        std::string Name;
        std::string Bytes; // empty: the file made above
        const char* Message;
    } cases[] = {
        {"text.txt", "1;2;3\nНе журнал\n", "файл не является журналом rq7"},
        {"short.sqlite", "SQLite format 3", "файл не является журналом rq7"},
        {"foreign.sqlite", "", "файл не является журналом rq7"},
        {"newer.sqlite", "", "файл создан более новой версией программы"},
        {"cut.sqlite", cutBytes, "файл повреждён"},
        {"header.sqlite", headerBytes, "файл повреждён"},
        {"schema.sqlite", schemaBytes, "файл повреждён"},
    };
    for (const auto& c : cases) {
        const std::string path = dir / c.Name;
        if (!c.Bytes.empty()) {
            WriteBytes(path, c.Bytes);
        }
        const std::string before = ReadBytes(path);
        const std::string message = ExpectStoreRefused(path);
        EXPECT_EQ(message, "Журнал " + path + ": " + c.Message) << c.Name;
        EXPECT_TRUE(ReadBytes(path) == before) << c.Name << " was changed";
    }
}

TEST(RecordStore, TwoProgramsAppendingAtOnceLoseNothing) {
    TempDir dir;
    const std::string path = dir / "h.sqlite";
    constexpr int kEach = 150;
    QProcess first;
    QProcess second;
    // Both start on a missing file: making the store is raced too.
    first.start(RECORD_APPEND_HELPER, {QString::fromStdString(path), "111", QString::number(kEach)});
    second.start(RECORD_APPEND_HELPER, {QString::fromStdString(path), "222", QString::number(kEach)});
    for (QProcess* p : {&first, &second}) {
        ASSERT_TRUE(p->waitForFinished(120000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
    }
    TRecordStore store(path);
    const auto all = store.List();
    ASSERT_EQ(all.size(), 2U * kEach);
    std::set<std::int64_t> ids;
    for (std::size_t i = 0; i < all.size(); ++i) {
        ids.insert(all[i].Id);
        EXPECT_EQ(all[i].Id, static_cast<std::int64_t>(all.size() - i));
    }
    EXPECT_EQ(ids.size(), all.size());
    for (const std::int64_t factory : {111, 222}) {
        const auto one = store.List({factory, "", 0});
        ASSERT_EQ(one.size(), static_cast<std::size_t>(kEach));
        EXPECT_EQ(one.front().Outcome.Code, kEach - 1); // each program's records in its own order
        EXPECT_EQ(one.back().Outcome.Code, 0);
    }
    EXPECT_TRUE(store.Check().empty());
}

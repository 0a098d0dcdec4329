// rq7cli's service record against the simulated adapter and a real store file: what a write records
// before its first request and after it, a cut write restored from its first record byte for byte, the
// restores that are refused, a store that cannot be written, and the comparison of the adapter's block.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "record/RecordStore.h"
#include "support/CliFixture.h"

namespace {

const char* const kPasswords = "Vosek\nTrimel\n";

std::string SlotText(const TSimImage& image, int k) {
    return SimHexText(image.data() + 4 * k, 4);
}

// The recorded slots as the JSON holds them ("0a1b2c3d"), in the simulator's spelling ("0A 1B 2C 3D").
std::string SimSpelling(const QJsonValue& slot) {
    const std::string hex = slot.toString().toUpper().toStdString();
    std::string spaced;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        spaced += (i == 0 ? "" : " ") + hex.substr(i, 2);
    }
    return spaced;
}

class CliRecord : public CliTest {
protected:
    QJsonArray History(std::vector<std::string> options = {}) {
        options.insert(options.begin(), {"history", "--json"});
        const TCliRun run = RunArgs(options);
        EXPECT_EQ(run.Code, 0) << run.Err;
        return QJsonDocument::fromJson(QByteArray::fromStdString(run.Out)).array();
    }
    std::size_t WriteRequests() const {
        std::size_t n = 0;
        for (const TSimBytes& frame : Sim.RequestFrames()) {
            n += frame.size() > 1 && (frame[1] == 0x10 || frame[1] == 0x06) ? 1 : 0;
        }
        return n;
    }
    // The image with slot 13 holding another factory number, sealed.
    static TSimImage Numbered(std::uint32_t number) {
        TSimImage image = DefaultSimImage(1);
        for (int i = 0; i < 4; ++i) {
            image[52 + i] = static_cast<std::uint8_t>(number >> (8 * i));
        }
        SealSimImage(image);
        return image;
    }
};

TEST_F(CliRecord, AWriteLeavesItsFirstRecordBeforeItsFirstRequestAndItsOutcomeAfter) {
    const TSimImage before = Sim.Image();
    const std::string file = CoefFile(ValidLines());
    const TCliRun run = Run({"write", file, "--technician", "Иванов И. И."}, kPasswords);
    ASSERT_EQ(run.Code, 0) << run.Err;
    const TSimImage after = Sim.Image();

    const QJsonArray records = History();
    ASSERT_EQ(records.size(), 2);
    const QJsonObject done = records[0].toObject();
    const QJsonObject begun = records[1].toObject();
    const QStringList keys = {"id",        "time",           "station",  "user",    "program", "port",
                              "operation", "factory_number", "as_found", "as_left", "outcome", "file"};
    for (const QJsonObject& record : {begun, done}) {
        QStringList found = record.keys();
        found.sort();
        QStringList expected = keys;
        expected.sort();
        EXPECT_EQ(found, expected);
        EXPECT_EQ(record["operation"].toString(), "write");
        EXPECT_TRUE(record["user"].toString().contains(QStringLiteral("Иванов И. И.")));
        EXPECT_EQ(record["file"].toObject()["sha256"].toString().size(), 64);
        for (int k = 1; k <= 16; ++k) {
            EXPECT_EQ(SimSpelling(record["as_found"].toObject()["slots"].toArray()[k - 1]),
                      SlotText(before, k));
            EXPECT_EQ(SimSpelling(record["as_left"].toObject()["sent"].toArray()[k - 1]), SlotText(after, k));
        }
    }
    EXPECT_TRUE(begun["outcome"].toObject()["code"].isNull());
    EXPECT_EQ(begun["outcome"].toObject()["message"].toString(), "begun");
    EXPECT_EQ(begun["as_left"].toObject()["state"].toArray()[0].toString(), "old");
    EXPECT_TRUE(begun["as_left"].toObject()["verified"].isNull());
    EXPECT_EQ(done["outcome"].toObject()["code"].toInt(-1), 0);
    EXPECT_EQ(done["as_left"].toObject()["state"].toArray()[15].toString(), "new");
    EXPECT_EQ(done["as_left"].toObject()["verified"], QJsonValue(true));
    EXPECT_EQ(done["factory_number"].toInteger(), 202002);

    // Each record names the adapter as it was after it: the first the number found, the second the one
    // written. Factory numbers are compared as numbers, whatever zeros lead them.
    EXPECT_EQ(begun["factory_number"].toInteger(), 101001);
    for (const char* number : {"0202002", "202002"}) {
        const QJsonArray found = History({"--factory-number", number});
        ASSERT_EQ(found.size(), 1) << number;
        EXPECT_EQ(found[0].toObject()["id"], done["id"]) << number;
    }
    EXPECT_EQ(History({"--factory-number", "0101001"}).size(), 1);
    EXPECT_EQ(History({"--factory-number", "7"}).size(), 0);
}

TEST_F(CliRecord, AWriteCutOffIsRestoredFromItsFirstRecordByteForByte) {
    const TSimImage before = Sim.Image();
    Sim.AddRule(TSimMatch::WriteSlot(5), TSimAction::HangUp());
    const TCliRun cut = Run({"write", CoefFile(ValidLines())}, kPasswords);
    ASSERT_EQ(cut.Code, 8) << cut.Err;
    ASSERT_NE(Sim.Image(), before);

    const QJsonArray records = History();
    ASSERT_EQ(records.size(), 2);
    EXPECT_EQ(records[0].toObject()["outcome"].toObject()["code"].toInt(-1), 8);
    EXPECT_EQ(records[0].toObject()["as_left"].toObject()["state"].toArray()[3].toString(), "new");
    EXPECT_EQ(records[0].toObject()["as_left"].toObject()["state"].toArray()[5].toString(), "old");
    const std::string begun = std::to_string(records[1].toObject()["id"].toInteger());

    Sim.ClearRules();
    const TCliRun restored = Run({"restore", begun}, kPasswords);
    ASSERT_EQ(restored.Code, 0) << restored.Err;
    // The recording date and the checksum as recorded, not stamped afresh.
    EXPECT_EQ(Sim.Image(), before);
    const QJsonObject last = History()[0].toObject();
    EXPECT_EQ(last["operation"].toString(), "restore");
    EXPECT_EQ(last["as_left"].toObject()["verified"], QJsonValue(true));
}

TEST_F(CliRecord, ARestoreGoesOnlyToTheRecordsAdapterUnlessToldOtherwise) {
    const TCliRun read = Run({"read"});
    ASSERT_EQ(read.Code, 0) << read.Err;
    const std::string id = std::to_string(History()[0].toObject()["id"].toInteger());
    struct TCase {
        const char* what;
        TSimImage held;
        std::vector<std::string> options;
        int code;
        const char* said;
    };
    const std::vector<TCase> cases = {
        {"another adapter", Numbered(555), {}, 5, "не тот, что в записи"},
        {"an unnumbered adapter (0)", Numbered(0), {}, 5, "нет заводского номера"},
        {"an erased number (all ones)", Numbered(0xFFFFFFFFU), {}, 5, "нет заводского номера"},
        {"another adapter, told so", Numbered(555), {"--other-adapter"}, 0, ""},
        {"the record's own adapter", Numbered(kSimDefaultFactoryNumber), {}, 0, ""},
    };
    for (const TCase& c : cases) {
        Sim.SetImage(c.held);
        Sim.ClearLog();
        std::vector<std::string> args = {"restore", id};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const TCliRun run = Run(args, kPasswords);
        EXPECT_EQ(run.Code, c.code) << c.what << "\n" << run.Err;
        EXPECT_NE(run.Err.find(c.said), std::string::npos) << c.what << "\n" << run.Err;
        EXPECT_EQ(WriteRequests() == 0, c.code != 0) << c.what;
        EXPECT_EQ(Sim.Image() == DefaultSimImage(1), c.code == 0) << c.what;
    }
}

TEST_F(CliRecord, ARestoreWritesTheAddressRegisterFirstWhenTheAddressDiffersAndRefusesABadBlock) {
    // Read at address 7, then the adapter moved to address 1.
    Sim.SetImage(DefaultSimImage(7));
    Sim.SetAddress(7);
    ASSERT_EQ(Run({"read"}).Code, 0);
    const std::string id = std::to_string(History()[0].toObject()["id"].toInteger());
    Sim.SetImage(DefaultSimImage(1));
    Sim.SetAddress(1);
    const TCliRun run = Run({"restore", id}, kPasswords);
    ASSERT_EQ(run.Code, 0) << run.Err;
    ASSERT_FALSE(Sim.RegisterWrites().empty());
    EXPECT_EQ(Sim.RegisterWrites().front().Register, kSimAddressRegister);
    EXPECT_EQ(Sim.Image(), DefaultSimImage(7));

    // A block read with a wrong checksum is never written back.
    TSimImage damaged = DefaultSimImage(1);
    damaged[20] ^= 0x01;
    Sim.SetImage(damaged);
    EXPECT_EQ(Run({"read"}).Code, 7);
    const std::string bad = std::to_string(History()[0].toObject()["id"].toInteger());
    Sim.SetImage(DefaultSimImage(1));
    Sim.ClearLog();
    EXPECT_EQ(Run({"restore", bad}, kPasswords).Code, 7);
    EXPECT_EQ(WriteRequests(), 0U);
}

TEST_F(CliRecord, AStoreThatCannotBeWrittenStopsEveryWriteBeforeItsFirstRequest) {
    // Not a store of ours: left as it is.
    { std::ofstream(Dir / "history.sqlite") << "not a database"; }
    const std::vector<std::vector<std::string>> writes = {
        {"write", CoefFile(ValidLines())},
        {"limits", "--ch1", "20,4"},
        {"translate"},
    };
    for (const std::vector<std::string>& args : writes) {
        Sim.ClearLog();
        const TCliRun run = Run(args, kPasswords);
        EXPECT_EQ(run.Code, 10) << args[0] << "\n" << run.Err;
        EXPECT_NE(run.Err.find(Dir / "history.sqlite"), std::string::npos) << run.Err;
        EXPECT_TRUE(Sim.RequestFrames().empty()) << args[0];
    }
    std::ifstream kept(Dir / "history.sqlite");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "not a database");

    // Without the record the write goes ahead, and reads nothing before it.
    Sim.ClearLog();
    const TCliRun run = Run({"write", CoefFile(ValidLines()), "--no-history", "--no-verify"}, kPasswords);
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(Sim.RequestFrames().size(), 16U);
}

TEST_F(CliRecord, CompareCountsTheValueSlotsAndTheAddressAndShowsTheRest) {
    ASSERT_EQ(Run({"write", CoefFile(ValidLines())}, kPasswords).Code, 0);
    struct TCase {
        const char* what;
        std::function<std::vector<std::string>()> args;
        int code;
        const char* said;
    };
    const std::vector<TCase> cases = {
        // The file's block carries another date than the adapter's: the date is not counted.
        {"the file written",
         [&] {
             return std::vector<std::string>{"compare", "--file", CoefFile(ValidLines())};
         },
         0, "совпадает"},
        {"one value changed",
         [&] {
             std::vector<std::string> lines = ValidLines();
             lines[9] = "16.5";
             return std::vector<std::string>{"compare", "--file", CoefFile(lines)};
         },
         11, "Отличаются слоты: 7"},
        {"another address",
         [&] {
             std::vector<std::string> lines = ValidLines();
             lines[0] = "2";
             return std::vector<std::string>{"compare", "--file", CoefFile(lines)};
         },
         11, "Отличаются слоты: 15"},
        {"the write's record (as left)",
         [&] {
             return std::vector<std::string>{"compare", "--record",
                                             std::to_string(History()[0].toObject()["id"].toInteger())};
         },
         0, "совпадает"},
        {"the write's record as found",
         [&] {
             return std::vector<std::string>{"compare", "--record",
                                             std::to_string(History()[0].toObject()["id"].toInteger()),
                                             "--as-found"};
         },
         11, "Отличаются слоты: 1, 2, 3"},
    };
    for (const TCase& c : cases) {
        const TCliRun run = Run(c.args());
        EXPECT_EQ(run.Code, c.code) << c.what << "\n" << run.Out << run.Err;
        EXPECT_NE(run.Out.find(c.said), std::string::npos) << c.what << "\n" << run.Out;
    }
}

TEST_F(CliRecord, AReportIsMadeFromTheRecordAloneAndHistoryCheckFindsATamperedStore) {
    ASSERT_EQ(Run({"write", CoefFile(ValidLines())}, kPasswords).Code, 0);
    const TCliRun html = RunArgs({"report", "--factory-number", "0202002", "--html", Dir / "p.html"});
    ASSERT_EQ(html.Code, 0) << html.Err;
    std::ifstream file(Dir / "p.html");
    const std::string text(std::istreambuf_iterator<char>(file), {});
    EXPECT_NE(text.find("Протокол настройки адаптера RQ7"), std::string::npos);
    EXPECT_EQ(RunArgs({"report", "999"}).Code, 5);
    EXPECT_EQ(RunArgs({"report", "1", "--factory-number", "1"}).Code, 1);

    EXPECT_EQ(RunArgs({"history", "--check"}).Code, 0);
    {
        TRecordStore store(Dir / "history.sqlite");
        EXPECT_EQ(store.List().size(), 2U);
    }
    // Behind the program's back: every trigger dropped, the port of the first record changed in its table.
    const std::string store = "'" + (Dir / "history.sqlite") + "'";
    const std::string sql =
        "sqlite3 " + store +
        " \"SELECT 'DROP TRIGGER ' || name || ';' FROM sqlite_master WHERE type = 'trigger';" +
        " SELECT 'UPDATE ' || name || ' SET port = ''COM9'';' FROM sqlite_master WHERE type = 'table'" +
        " AND sql LIKE '%port%';\" > " + (Dir / "tamper.sql") + " && sqlite3 " + store + " < " +
        (Dir / "tamper.sql");
    if (std::system("command -v sqlite3 >/dev/null") != 0) {
        GTEST_SKIP() << "the sqlite3 program is not here to tamper with the store";
    }
    ASSERT_EQ(std::system(sql.c_str()), 0);
    const TCliRun check = RunArgs({"history", "--check"});
    EXPECT_EQ(check.Code, 10) << check.Out << check.Err;
}

} // namespace

// The windows' service record: the real windows, driven against the simulator over a pseudo-terminal,
// record their reads and writes into a real store file (a write's first record before its first request,
// a second with its outcome); the journal window lists, filters and shows the records of a store file and
// saves their protocol.

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <atomic>
#include <gtest/gtest.h>

#include "record/RecordStore.h"
#include "support/Files.h"
#include "support/TechFixture.h"
#include "ui/JournalUnit.h"
#include "ui/KoefPotrebUnit.h"

namespace {

TRecordedSlots SlotsOfSim(const TSimImage& image) {
    TCoefImageBytes bytes{};
    std::copy(image.begin(), image.end(), bytes.begin());
    return RecordedSlotsOf(bytes);
}

std::array<TRecordedSlotState, 16> States(int newUpTo, int unknownUpTo) {
    std::array<TRecordedSlotState, 16> states{};
    for (int k = 1; k <= 16; ++k) {
        states.at(static_cast<std::size_t>(k - 1)) = k <= newUpTo       ? TRecordedSlotState::New
                                                     : k <= unknownUpTo ? TRecordedSlotState::Unknown
                                                                        : TRecordedSlotState::Old;
    }
    return states;
}

class WindowRecords : public TTechFixture {
protected:
    std::vector<TServiceRecord> Records() { return TRecordStore(HistoryPath()).List(); }

    void OpenWithPassword() {
        Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
        Program->Rq7Form->N5()->trigger();
    }
    // Answers the technological write's questions: saving (to file, when given) and the second password.
    void AnswerTechWrite(const QString& file = {}) {
        Prompts.YesNoAnswers = {!file.isEmpty(), true};
        if (!file.isEmpty()) {
            Prompts.SaveFileAnswers = {file};
        }
        Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Trimel")));
    }
    TKoefForPotreb& Limits() { return *Program->KoefForPotreb; }
    void WriteLimits() {
        Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
        Limits().findChild<QPushButton*>(QStringLiteral("WriteButton"))->click();
    }
};

} // namespace

TEST_F(WindowRecords, TechnologicalReadAndWriteWithTheirFileAndTheFirstRecordBeforeTheFirstRequest) {
    OpenWithPassword();
    const TSimImage found = Sim->Image();
    std::vector<TServiceRecord> records = Records();
    ASSERT_EQ(records.size(), 1u);
    const TServiceRecord read = records[0];
    EXPECT_EQ(read.Operation, TRecordOperation::Read);
    EXPECT_EQ(read.Program, "rq7 0.1.0");
    EXPECT_EQ(read.Port, Sim->DevicePath());
    ASSERT_TRUE(read.AsFound);
    EXPECT_EQ(read.AsFound->Slots, SlotsOfSim(found));
    EXPECT_TRUE(read.AsFound->ChecksumOk);
    EXPECT_FALSE(read.AsLeft);
    EXPECT_EQ(read.FactoryNumber, Edit("ZavodEdit")->text().toLongLong());
    EXPECT_EQ(read.Outcome.Code, 0);

    Edit("KoefEdit2")->setText(QStringLiteral("7.5"));
    std::atomic<int> recordsAtFirstRequest{-1};
    Sim->AddRule(TSimMatch::WriteSlot(1),
                 TSimAction::Notify([&] { recordsAtFirstRequest = static_cast<int>(Records().size()); }));
    const QString file = Dir.filePath(QStringLiteral("коэф.dat"));
    AnswerTechWrite(file);
    Button("WriteButton")->click();

    EXPECT_EQ(recordsAtFirstRequest, 2); // the read and the write's first record
    records = Records();
    ASSERT_EQ(records.size(), 3u);
    const TServiceRecord& begun = records[1];
    const TServiceRecord& ended = records[0];
    QFile saved(file);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const std::string sha =
        QCryptographicHash::hash(saved.readAll(), QCryptographicHash::Sha256).toHex().toStdString();
    for (const TServiceRecord* r : {&begun, &ended}) {
        EXPECT_EQ(r->Operation, TRecordOperation::Write);
        ASSERT_TRUE(r->AsFound && r->AsLeft && r->File);
        EXPECT_EQ(r->AsFound->Slots, read.AsFound->Slots); // the last complete read, with when it was read
        EXPECT_EQ(r->AsFound->ReadAt, read.AsFound->ReadAt);
        EXPECT_EQ(r->AsLeft->Sent, SlotsOfSim(Sim->Image()));
        EXPECT_FALSE(r->AsLeft->Verified);
        EXPECT_EQ(r->File->Name, file.toStdString());
        EXPECT_EQ(r->File->Sha256, sha);
        EXPECT_EQ(r->FactoryNumber, read.FactoryNumber);
    }
    EXPECT_FALSE(begun.Outcome.Code);
    EXPECT_EQ(begun.Outcome.Message, kOutcomeBegun);
    EXPECT_EQ(begun.AsLeft->State, States(0, 0));
    EXPECT_EQ(ended.Outcome.Code, 0);
    EXPECT_EQ(ended.Outcome.Message, "Запись выполнена");
    EXPECT_EQ(ended.AsLeft->State, States(16, 16));
    EXPECT_NE(ended.AsLeft->Sent[1], ended.AsFound->Slots[1]); // slot 2 was edited

    // The main menu's last item opens the journal over the same store.
    Program->Rq7Form->N8()->trigger();
    ASSERT_TRUE(Program->JournalForm);
    EXPECT_TRUE(Program->JournalForm->isVisible());
    ASSERT_EQ(Program->JournalForm->Records().size(), 3u);
    EXPECT_EQ(Program->JournalForm->Records()[0].Id, ended.Id);
}

TEST_F(WindowRecords, AWriteCutOffLeavesItsFirstRecordAndAnOutcomeOfEightWithEachSlotWhereItStands) {
    Teh().show();
    Teh().setEnabled(true);
    Teh().NachButtonClick();
    Sim->AddRule(TSimMatch::WriteSlot(7), TSimAction::Silent(), 2);
    AnswerTechWrite();
    Button("WriteButton")->click();

    const std::vector<TServiceRecord> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].Outcome.Message, kOutcomeBegun);
    EXPECT_FALSE(records[1].AsFound); // nothing read since the program began
    EXPECT_EQ(records[0].Outcome.Code, 8);
    EXPECT_EQ(records[0].Outcome.Message, "Нет ответа");
    ASSERT_TRUE(records[0].AsLeft);
    EXPECT_EQ(records[0].AsLeft->State, States(6, 7));
    EXPECT_EQ(records[0].FactoryNumber, 101001);
    EXPECT_FALSE(records[0].File);
}

TEST_F(WindowRecords, LimitsWritesAndTheTranslationSwitch) {
    struct Case {
        bool SoundBlock;
        std::vector<std::optional<int>> Codes; // of the records the write adds, newest first
        std::string Message;
    };
    const Case cases[] = {
        // Refused before any request: its outcome only.
        {false, {7}, "Ошибка кс"},
        {true, {0, std::nullopt}, "Запись выполнена"},
    };
    Limits().show();
    Limits().setEnabled(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.SoundBlock ? "sound block" : "block with a wrong checksum");
        if (c.SoundBlock) {
            Sim->SealImage();
        } else {
            Sim->SetSlot(16, {0xFF, 0x00, 0x12, 0x34});
        }
        Prompts.Shown.clear();
        const std::size_t before = Records().size();
        Limits().ReadButtonClick();
        std::vector<TServiceRecord> records = Records();
        ASSERT_EQ(records.size(), before + 1);
        EXPECT_EQ(records[0].Operation, TRecordOperation::Read);
        ASSERT_TRUE(records[0].AsFound);
        EXPECT_EQ(records[0].AsFound->ChecksumOk, c.SoundBlock);
        EXPECT_EQ(records[0].Outcome.Code, c.SoundBlock ? 0 : 7);

        Limits().findChild<QLineEdit*>(QStringLiteral("Canal1_20"))->setText(QStringLiteral("20"));
        WriteLimits();
        records = Records();
        ASSERT_EQ(records.size(), before + 1 + c.Codes.size());
        for (std::size_t i = 0; i < c.Codes.size(); ++i) {
            EXPECT_EQ(records[i].Operation, TRecordOperation::Limits);
            EXPECT_EQ(records[i].Outcome.Code, c.Codes[i]);
        }
        EXPECT_EQ(records[0].Outcome.Message, c.Message);
    }

    Prompts.Shown.clear();
    Program->Rq7Form->N7()->trigger();
    const std::vector<TServiceRecord> records = Records();
    EXPECT_EQ(records[0].Operation, TRecordOperation::Translate);
    EXPECT_EQ(records[0].Outcome.Code, 0);
    EXPECT_EQ(records[0].Outcome.Message, "Адаптер переведен в режим побайтовой трансляции");
}

namespace {
// A program whose store file is not a store of ours.
class UnavailableStore : public WindowRecords {
protected:
    void SetUp() override {
        QFile file(QString::fromStdString(HistoryPath()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("not a database, kept as it is\n");
        file.close();
        WindowRecords::SetUp();
    }
};
} // namespace

TEST_F(UnavailableStore, IsSaidOnceAndTheWindowsGoOnWithTheFileUntouched) {
    QCoreApplication::processEvents();
    ASSERT_EQ(Prompts.Texts().size(), 1);
    EXPECT_TRUE(Prompts.Texts()[0].startsWith(QStringLiteral("Журнал недоступен: ")));
    EXPECT_TRUE(Prompts.Texts()[0].contains(QString::fromStdString(HistoryPath())))
        << Prompts.Texts()[0].toStdString();
    Prompts.Shown.clear();

    Teh().show();
    Teh().setEnabled(true);
    Teh().NachButtonClick();
    AnswerTechWrite();
    Button("WriteButton")->click();
    EXPECT_TRUE(Prompts.Texts().filter(QStringLiteral("Журнал")).isEmpty())
        << Prompts.Texts().join(" | ").toStdString();
    // The write went on: the adapter holds the initial values' factory number.
    const TSimImage written = Sim->Image();
    EXPECT_EQ(written[52] | (written[53] << 8) | (written[54] << 16) | (written[55] << 24), 101001);
    EXPECT_EQ(FileBytes(QString::fromStdString(HistoryPath())), "not a database, kept as it is\n");
}

// ---------------------------------------------------------------------------------------------
// The journal window

namespace {

TServiceRecord StoredRecord(TRecordOperation operation, std::int64_t factoryNumber, int limit20) {
    TCoefBlock block;
    block.LocalNow = [] { return TLocalTime{2026, 12, 10, 9, 14, 2}; };
    TTechTexts texts;
    texts.Values = {"1010", "630", "16", "4", "85", "-40", "16", "4", "200", "1.5", "16", "4"};
    texts.ZavodEdit = std::to_string(factoryNumber);
    texts.AdrEdit = "1";
    block.BuildImageFromTech(texts);
    TServiceRecord record = NewRecord(operation, "rq7 0.1.0", "/dev/ttyUSB0");
    record.FactoryNumber = factoryNumber;
    record.AsFound = AsFoundOf(block.CoefImage, true, "2026-12-10T09:10:00+03:00");
    if (operation != TRecordOperation::Read) {
        texts.Values[4] = std::to_string(limit20);
        block.BuildImageFromTech(texts);
        TAsLeft left;
        left.Sent = RecordedSlotsOf(block.CoefImage);
        left.State.fill(TRecordedSlotState::New);
        record.AsLeft = left;
    }
    record.Outcome = {0, "Запись выполнена"};
    return record;
}

class JournalWindow : public ::testing::Test {
protected:
    void SetUp() override {
        Store.emplace(Dir / "history.sqlite");
        Store->Append(StoredRecord(TRecordOperation::Read, 101001, 0));
        Store->Append(StoredRecord(TRecordOperation::Limits, 101001, 90));
        Store->Append(StoredRecord(TRecordOperation::Write, 202002, 70));
        Form.emplace(Prompts, &*Store);
        Form->show();
    }
    template <typename T> T* Find(const char* name) {
        T* widget = Form->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QStringList Column(const char* table, int column) {
        QStringList texts;
        QTableWidget* t = Find<QTableWidget>(table);
        for (int row = 0; row < t->rowCount(); ++row) {
            texts << t->item(row, column)->text();
        }
        return texts;
    }

    TempDir Dir;
    TScriptedPrompts Prompts;
    std::optional<TRecordStore> Store;
    std::optional<TJournalForm> Form;
};

} // namespace

TEST_F(JournalWindow, ListsNewestFirstAndFiltersByFactoryNumberAsAnInteger) {
    EXPECT_EQ(Column("RecordList", 0), (QStringList{"3", "2", "1"}));
    EXPECT_EQ(Column("RecordList", 2), (QStringList{"запись", "изменение границ", "чтение"}));
    EXPECT_EQ(Column("RecordList", 3), (QStringList{"0202002", "0101001", "0101001"}));
    struct Case {
        const char* Filter;
        QStringList Ids;
        const char* Status;
    };
    const Case cases[] = {
        {"0101001", {"2", "1"}, "Записей: 2"}, {"101001", {"2", "1"}, "Записей: 2"},
        {"303003", {}, "Записей: 0"},          {"01x", {}, "Заводской номер — целое число"},
        {"", {"3", "2", "1"}, "Записей: 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Filter);
        Find<QLineEdit>("FactoryFilter")->setText(QString::fromUtf8(c.Filter));
        EXPECT_EQ(Column("RecordList", 0), c.Ids);
        EXPECT_EQ(Find<QLabel>("StatusLabel")->text(), QString::fromUtf8(c.Status));
        EXPECT_EQ(Find<QPushButton>("SaveProtocolButton")->isEnabled(), !c.Ids.isEmpty());
    }
}

TEST_F(JournalWindow, ShowsBothBlocksSideBySideWithTheChangesMarkedAndSavesTheProtocol) {
    Find<QTableWidget>("RecordList")->selectRow(1); // the limits change of 0101001
    EXPECT_TRUE(
        Find<QLabel>("RecordLabel")->text().contains(QStringLiteral("прочитанный 10.12.2026 09:10:00")));
    const QStringList names = Column("BlockTable", 0);
    const int channel2 =
        static_cast<int>(names.indexOf(QStringLiteral("Канал 2: значение параметра при 20 мА")));
    ASSERT_GE(channel2, 0);
    EXPECT_EQ(Column("BlockTable", 1)[channel2], QStringLiteral("85.00"));
    EXPECT_EQ(Column("BlockTable", 2)[channel2], QStringLiteral("90.00"));
    QStringList marks = Column("BlockTable", 3);
    EXPECT_EQ(marks[channel2], QStringLiteral("изменено"));
    EXPECT_TRUE(Find<QTableWidget>("BlockTable")->item(channel2, 1)->font().bold());
    marks.removeAt(channel2);
    EXPECT_EQ(marks.count(QString()), marks.size()); // nothing else changed

    struct Case {
        std::string Name;
        std::string Start;
    };
    const Case cases[] = {{"протокол.pdf", "%PDF-"}, {"протокол.html", "<!DOCTYPE html>"}};
    for (const Case& c : cases) {
        Prompts.SaveFileAnswers = {QString::fromStdString(Dir / c.Name)};
        Find<QPushButton>("SaveProtocolButton")->click();
        EXPECT_EQ(ReadFileBytes(Dir / c.Name).substr(0, c.Start.size()), c.Start) << c.Name;
    }
    EXPECT_TRUE(ReadFileBytes(Dir / "протокол.html").find("90.00") != std::string::npos);
    EXPECT_EQ(Prompts.LastSaveInitialName, QStringLiteral("протокол-2.pdf"));
    EXPECT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(" | ").toStdString();

    // A file that cannot be written: its name in an error box.
    Prompts.SaveFileAnswers = {QString::fromStdString(Dir / "нет/протокол.pdf")};
    Find<QPushButton>("SaveProtocolButton")->click();
    ASSERT_FALSE(Prompts.Shown.empty());
    const TPromptRecord& error = Prompts.Shown.back();
    EXPECT_EQ(error.kind, TPromptRecord::Error);
    EXPECT_EQ(error.title, QStringLiteral("Протокол не сохранён"));
    EXPECT_TRUE(error.text.contains(QString::fromStdString(Dir / "нет/протокол.pdf")))
        << error.text.toStdString();
}

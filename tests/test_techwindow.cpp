// The technological mode window against the adapter simulator, through the real port and real widgets.

#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QKeyEvent>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "coef/Crc.h"
#include "support/TechFixture.h"
#include "ui/KoefPotrebUnit.h"

namespace {

using namespace std::chrono_literals;

const std::vector<int> kAllProgress = {6, 12, 18, 25, 31, 37, 43, 50, 56, 62, 68, 75, 81, 87, 93, 100};

using TJournal = std::vector<std::string>;

std::string Wait(int ms) {
    return TWatchedLine::Wait(ms);
}

// A slot read as the device operation makes it: the request, 100 ms before collecting, 20 ms after.
void AddSlotRead(TJournal& journal, int k) {
    journal.insert(journal.end(), {"read slot " + std::to_string(k), Wait(100), Wait(20)});
}

// A slot write: the request, 80 ms before collecting, 20 ms after.
void AddSlotWrite(TJournal& journal, int k) {
    journal.insert(journal.end(), {"write slot " + std::to_string(k), Wait(80), Wait(20)});
}

// The read's slot loop: each slot read (twice for the slots in twice), then 50 ms.
TJournal ReadLoop(const std::vector<int>& readTwice = {}) {
    TJournal journal;
    for (int k = 1; k <= 16; ++k) {
        AddSlotRead(journal, k);
        if (std::find(readTwice.begin(), readTwice.end(), k) != readTwice.end()) {
            AddSlotRead(journal, k);
        }
        journal.push_back(Wait(50));
    }
    return journal;
}

TJournal Concat(TJournal a, const TJournal& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The register of slot k.
std::uint16_t SlotRegister(int k) {
    return static_cast<std::uint16_t>(255 + 2 * k);
}

std::uint16_t RequestRegister(const TSimBytes& frame) {
    return static_cast<std::uint16_t>((frame.at(2) << 8) | frame.at(3));
}

class TechWindow : public TTechFixture {
protected:
    // Records every value the progress bar takes, and runs a probe at each.
    void RecordProgress() {
        QObject::connect(Progress(), &QProgressBar::valueChanged, [this](int value) {
            ProgressValues.push_back(value);
            if (OnProgress) {
                OnProgress(value);
            }
        });
    }

    // The main menu's "Технолог.режим" with the right first password.
    void OpenWithPassword() {
        Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
        Program->Rq7Form->N5()->trigger();
    }

    // As after the window's first opening: shown and enabled.
    void ShowEnabled() {
        Teh().show();
        Teh().setEnabled(true);
    }

    // The texts of the fourteen controls that the coefficient file holds (DataLabel included).
    QStringList ControlTexts() {
        QStringList texts{Edit("AdrEdit")->text(), Label("DataLabel")->text(), Edit("ZavodEdit")->text()};
        for (const char* name : kValueEditNames) {
            texts << Edit(name)->text();
        }
        return texts;
    }

    void SetValueTexts(const QString& text) {
        for (const char* name : kValueEditNames) {
            Edit(name)->setText(text);
        }
    }

    static constexpr const char* kValueEditNames[12] = {"KoefEdit1", "KoefEdit2", "KoefEdit3", "KoefEdit4",
                                                        "Edit21",    "Edit22",    "Edit23",    "Edit24",
                                                        "Edit31",    "Edit32",    "Edit33",    "Edit34"};

    std::vector<int> ProgressValues;
    std::function<void(int)> OnProgress;
};

// A block with values that tell the display forms apart; slot 15 holds address 42 while the adapter
// answers from address 1.
TSimImage ReadTestImage() {
    TSimImage image{};
    const double values[12] = {1234.5678, 0.0,    16.0, 3.9876,     185.0,   60.0,
                               16.0045,   4.0021, -2.5, 1.23456789, 15.9987, 3.9992};
    for (int k = 1; k <= 12; ++k) {
        const TSimSlot slot = EncodeSimFloat(values[k - 1]);
        std::copy(slot.begin(), slot.end(), image.begin() + 4 * k);
    }
    const std::uint32_t factory = 123456;
    const std::uint32_t date = kSimDefaultRecordDate;
    for (int i = 0; i < 4; ++i) {
        image[static_cast<std::size_t>(52 + i)] = static_cast<std::uint8_t>(factory >> (8 * i));
        image[static_cast<std::size_t>(56 + i)] = static_cast<std::uint8_t>(date >> (8 * i));
    }
    image[61] = 42;
    SealSimImage(image);
    return image;
}

// ---------------------------------------------------------------------------------------------
// Reading

TEST_F(TechWindow, OpeningReadsEveryControlInItsFormWithProgressAndNoMessage) {
    Sim->SetImage(ReadTestImage());
    // One bad checksum at slot 4 is retried at once and read normally.
    Sim->AddRule(TSimMatch::ReadSlot(4), TSimAction::BadChecksum(), 1);
    RecordProgress();
    bool disabledWhileReading = true;
    bool panelShownWhileReading = true;
    OnProgress = [&](int) {
        disabledWhileReading = disabledWhileReading && !Teh().isEnabled();
        panelShownWhileReading = panelShownWhileReading && Panel1()->isVisible();
    };

    Program->Rq7Form->move(300, 280);
    OpenWithPassword();

    EXPECT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(" | ").toStdString();
    // Centred over the main window, give or take the platform's frame margins.
    const QPoint offset = Teh().geometry().center() - Program->Rq7Form->geometry().center();
    EXPECT_LE(std::abs(offset.x()), 3) << offset.x();
    EXPECT_LE(std::abs(offset.y()), 3) << offset.y();
    EXPECT_EQ(Edit("KoefEdit1")->text(), "1234.57");
    EXPECT_EQ(Edit("KoefEdit2")->text(), "0.00");
    EXPECT_EQ(Edit("KoefEdit3")->text(), "16.0000");
    EXPECT_EQ(Edit("KoefEdit4")->text(), "3.9876");
    EXPECT_EQ(Edit("Edit21")->text(), "85.00");
    EXPECT_EQ(Edit("Edit22")->text(), "-40.00");
    EXPECT_EQ(Edit("Edit23")->text(), "16.0045");
    EXPECT_EQ(Edit("Edit24")->text(), "4.0021");
    EXPECT_EQ(Edit("Edit31")->text(), "-2.50");
    EXPECT_EQ(Edit("Edit32")->text(), "1.23");
    EXPECT_EQ(Edit("Edit33")->text(), "15.9987");
    EXPECT_EQ(Edit("Edit34")->text(), "3.9992");
    EXPECT_EQ(Edit("ZavodEdit")->text(), "0123456");
    EXPECT_EQ(Label("DataLabel")->text(), "14:5  3.7.2012");
    EXPECT_EQ(Edit("AdrEdit")->text(), "42");

    const auto& texts = Program->CoefBlock.SlotTexts;
    EXPECT_EQ(texts[1], "1234.5680");
    EXPECT_EQ(texts[2], "0.0000");
    EXPECT_EQ(texts[5], "85.0000");
    EXPECT_EQ(texts[6], "-40.0000");
    EXPECT_EQ(texts[9], "-2.5000");
    EXPECT_EQ(texts[10], "1.2346");
    EXPECT_EQ(texts[12], "3.9992");
    EXPECT_TRUE(texts[13].empty());

    EXPECT_EQ(ProgressValues, kAllProgress);
    EXPECT_TRUE(disabledWhileReading);
    EXPECT_TRUE(panelShownWhileReading);
    EXPECT_FALSE(Panel1()->isVisible());
    EXPECT_EQ(Label("Label20")->text(), " Чтение коэффициентов ");
    EXPECT_TRUE(Teh().isVisible());
    EXPECT_TRUE(Teh().isEnabled());
    EXPECT_TRUE(Button("WriteButton")->isEnabled());
    EXPECT_TRUE(Button("ReadButton")->isEnabled());

    // The identify request, then slots 1 to 16 in order, slot 4 twice.
    const auto frames = Sim->RequestFrames();
    ASSERT_EQ(frames.size(), 18u);
    EXPECT_EQ(frames[0], (TSimBytes{0x00, 0x03, 0x00, 0x00, 0x00, 0x07, 0x05, 0xD9}));
    std::vector<std::uint16_t> registers;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].at(0), 0x00);
        EXPECT_EQ(frames[i].at(1), 0x03);
        registers.push_back(RequestRegister(frames[i]));
    }
    std::vector<std::uint16_t> expected;
    for (int k = 1; k <= 16; ++k) {
        expected.push_back(SlotRegister(k));
        if (k == 4) {
            expected.push_back(SlotRegister(k));
        }
    }
    EXPECT_EQ(registers, expected);
    // The waits: 50 ms for the identify reply; each slot read's own, then 50 ms before the next slot.
    EXPECT_EQ(Line->Journal, Concat({"identify", Wait(50)}, ReadLoop({4})));
}

TEST_F(TechWindow, IdentifyAnsweredOnlyOnSecondTryThenBlockWithBadChecksum) {
    TSimImage image = DefaultSimImage(1);
    image[66] ^= 0x01; // the stored block checksum no longer fits
    Sim->SetImage(image);
    Sim->AddRule(TSimMatch::Identify(), TSimAction::AnswerSecondAttempt(), 1);
    RecordProgress();

    OpenWithPassword();

    EXPECT_EQ(Prompts.Texts(), QStringList{"Ошибка кс"});
    // The values stay shown and may be written.
    EXPECT_EQ(Edit("Edit21")->text(), "85.00");
    EXPECT_EQ(Edit("Edit22")->text(), "-40.00");
    EXPECT_EQ(Edit("ZavodEdit")->text(), "0101001");
    EXPECT_EQ(Edit("AdrEdit")->text(), "1");
    EXPECT_EQ(ProgressValues, kAllProgress);
    EXPECT_TRUE(Button("WriteButton")->isEnabled());
    EXPECT_TRUE(Teh().isEnabled());

    const auto records = Sim->Requests();
    std::vector<TSimRecord> frames;
    for (const auto& record : records) {
        if (record.Kind == TSimRecord::EKind::Request) {
            frames.push_back(record);
        }
    }
    ASSERT_EQ(frames.size(), 18u);
    EXPECT_EQ(RequestRegister(frames[0].Bytes), 0);
    EXPECT_EQ(RequestRegister(frames[1].Bytes), 0);
    EXPECT_EQ(RequestRegister(frames[2].Bytes), SlotRegister(1));
    // The second identify follows the first at once; after its own 50 ms comes the window's 50 ms wait.
    EXPECT_EQ(Line->Journal, Concat({"identify", Wait(50), "identify", Wait(50), Wait(50)}, ReadLoop()));
}

TEST_F(TechWindow, NoAnswerToIdentifyHidesWindowAndChangesNothing) {
    Sim->AddRule(TSimMatch::Identify(), TSimAction::Silent(), TSimRule::kAlways);
    Teh().NachButtonClick();
    Label("DataLabel")->setText(QStringLiteral("earlier"));
    Program->CoefBlock.SlotTexts[1] = "earlier";
    const QStringList before = ControlTexts();
    bool shownAtMessage = false;
    Prompts.OnShow = [&](const TPromptRecord&) { shownAtMessage = Teh().isVisible(); };

    OpenWithPassword();

    EXPECT_EQ(Prompts.Texts(), QStringList{"Нет ответа"});
    EXPECT_TRUE(shownAtMessage);
    EXPECT_FALSE(Teh().isVisible());
    EXPECT_FALSE(Panel1()->isVisible());
    EXPECT_EQ(ControlTexts(), before);
    EXPECT_EQ(Program->CoefBlock.SlotTexts[1], "earlier");
    const auto frames = Sim->RequestFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(RequestRegister(frames[0]), 0);
    EXPECT_EQ(RequestRegister(frames[1]), 0);
    EXPECT_EQ(Line->Journal, (TJournal{"identify", Wait(50), "identify", Wait(50), Wait(50)}));
}

TEST_F(TechWindow, FailureAtSlotNineStopsTheReadAndKeepsLaterControls) {
    // The first try gets an exception reply, the retry a spoiled checksum: both count as failures.
    Sim->AddRule(TSimMatch::ReadSlot(9), TSimAction::Exception(4), 1);
    Sim->AddRule(TSimMatch::ReadSlot(9), TSimAction::BadChecksum(), 1);
    SetValueTexts(QStringLiteral("old"));
    Edit("ZavodEdit")->setText(QStringLiteral("oldZ"));
    Edit("AdrEdit")->setText(QStringLiteral("oldA"));
    Label("DataLabel")->setText(QStringLiteral("oldD"));
    ASSERT_FALSE(Button("WriteButton")->isEnabled());
    RecordProgress();

    OpenWithPassword();

    EXPECT_EQ(Prompts.Texts(), QStringList{"Сбой!"});
    EXPECT_EQ(Edit("KoefEdit1")->text(), "16.00");
    EXPECT_EQ(Edit("Edit21")->text(), "85.00");
    EXPECT_EQ(Edit("Edit24")->text(), "4.0021");
    for (const char* name : {"Edit31", "Edit32", "Edit33", "Edit34"}) {
        EXPECT_EQ(Edit(name)->text(), "old") << name;
    }
    EXPECT_EQ(Edit("ZavodEdit")->text(), "oldZ");
    EXPECT_EQ(Edit("AdrEdit")->text(), "oldA");
    EXPECT_EQ(Label("DataLabel")->text(), "oldD");
    EXPECT_EQ(ProgressValues, (std::vector<int>{6, 12, 18, 25, 31, 37, 43, 50}));
    EXPECT_FALSE(Panel1()->isVisible());
    EXPECT_TRUE(Button("WriteButton")->isEnabled());
    EXPECT_TRUE(Teh().isEnabled());
    // Identify, slots 1..8, slot 9 twice, and nothing after.
    const auto frames = Sim->RequestFrames();
    ASSERT_EQ(frames.size(), 11u);
    EXPECT_EQ(RequestRegister(frames[9]), SlotRegister(9));
    EXPECT_EQ(RequestRegister(frames[10]), SlotRegister(9));
}

TEST_F(TechWindow, OtherDeviceCommandsAreRefusedWhileAReadRuns) {
    ShowEnabled();
    Teh().NachButtonClick();
    ASSERT_TRUE(Button("WriteButton")->isEnabled());
    RecordProgress();
    bool probed = false;
    bool readButtonEnabled = true, writeButtonEnabled = true, menuN5Enabled = true, menuN4Enabled = true;
    std::size_t requestsBefore = 0, requestsAfter = 0;
    OnProgress = [&](int value) {
        if (value != 18 || probed) {
            return;
        }
        probed = true;
        // In the middle of the read, between two slots.
        readButtonEnabled = Button("ReadButton")->isEnabled();
        writeButtonEnabled = Button("WriteButton")->isEnabled();
        menuN5Enabled = Program->Rq7Form->N5()->isEnabled();
        menuN4Enabled = Program->Rq7Form->N4()->isEnabled();
        requestsBefore = Sim->RequestFrames().size();
        // None of these may ask anything or send anything.
        Teh().ReadButtonClick();
        Teh().WriteButtonClick();
        Teh().N5Click();
        Program->Rq7Form->N5Click();
        requestsAfter = Sim->RequestFrames().size();
    };

    Button("ReadButton")->click();

    ASSERT_TRUE(probed);
    EXPECT_FALSE(readButtonEnabled);
    EXPECT_FALSE(writeButtonEnabled);
    EXPECT_FALSE(menuN5Enabled);
    EXPECT_FALSE(menuN4Enabled);
    EXPECT_EQ(requestsAfter, requestsBefore);
    EXPECT_TRUE(Prompts.Texts().isEmpty());
    EXPECT_EQ(ProgressValues, kAllProgress);
    EXPECT_EQ(Sim->RequestFrames().size(), 17u);
    // Released at the end.
    EXPECT_TRUE(Button("ReadButton")->isEnabled());
    EXPECT_TRUE(Button("WriteButton")->isEnabled());
    EXPECT_TRUE(Program->Rq7Form->N5()->isEnabled());
}

// ---------------------------------------------------------------------------------------------
// Writing

// The block that the initial values give, built independently of the program's encoder.
TSimImage InitialValuesImage() {
    TSimImage image{};
    const double values[12] = {1010, 630, 16, 4, 185, 60, 16, 4, 200, 1.5, 16, 4};
    for (int k = 1; k <= 12; ++k) {
        const TSimSlot slot = EncodeSimFloat(values[k - 1]);
        std::copy(slot.begin(), slot.end(), image.begin() + 4 * k);
    }
    const std::uint32_t factory = 101001;
    // 2013-04-05 06:07:08, the fixture's clock, packed.
    const std::uint32_t date =
        ((2013u - 1980u) << 25) | (4u << 21) | (5u << 16) | (6u << 11) | (7u << 5) | 4u;
    for (int i = 0; i < 4; ++i) {
        image[static_cast<std::size_t>(52 + i)] = static_cast<std::uint8_t>(factory >> (8 * i));
        image[static_cast<std::size_t>(56 + i)] = static_cast<std::uint8_t>(date >> (8 * i));
    }
    image[61] = 1;
    image[64] = 0xFF;
    image[65] = 0x00;
    StoreCrc(image.data() + 66, SimBlockChecksum(image));
    return image;
}

TEST_F(TechWindow, CompleteWriteSendsTheBuiltBlockSlotBySlot) {
    Sim->SetImage(TSimImage{});
    ShowEnabled();
    Teh().NachButtonClick();
    // Slot 3's first write gets an exception reply: it counts as unanswered and is sent again.
    Sim->AddRule(TSimMatch::WriteSlot(3), TSimAction::Exception(4), 1);
    RecordProgress();
    bool panelShownWhileWriting = true;
    OnProgress = [&](int) { panelShownWhileWriting = panelShownWhileWriting && Panel1()->isVisible(); };
    Prompts.YesNoAnswers = {false, true}; // no saving; programming confirmed
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Trimel")));

    Button("WriteButton")->click();

    EXPECT_EQ(Prompts.Texts(),
              (QStringList{"Сохранить данные на диске?", "Пароль введен верно. Будем программировать?"}));
    EXPECT_EQ(ProgressValues, kAllProgress);
    EXPECT_TRUE(panelShownWhileWriting);
    EXPECT_FALSE(Panel1()->isVisible());
    EXPECT_EQ(Label("Label20")->text(), "Внимание! Идет запись коэффициентов ППЗУ!");

    const TSimImage expected = InitialValuesImage();
    const auto frames = Sim->RequestFrames();
    ASSERT_EQ(frames.size(), 17u);
    int k = 1;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const TSimBytes& frame = frames[i];
        ASSERT_EQ(frame.size(), 13u);
        EXPECT_EQ(frame[0], 0x00);
        EXPECT_EQ(frame[1], 0x10);
        EXPECT_EQ(RequestRegister(frame), SlotRegister(k)) << "request " << i;
        EXPECT_EQ(frame[4], 0x00);
        EXPECT_EQ(frame[5], 0x02);
        EXPECT_EQ(frame[6], 0x04);
        const TSimBytes data(frame.begin() + 7, frame.begin() + 11);
        const TSimBytes want(expected.begin() + 4 * k, expected.begin() + 4 * k + 4);
        EXPECT_EQ(data, want) << "slot " << k;
        if (!(k == 3 && i == 2)) {
            ++k;
        }
    }
    // Each slot write, then 80 ms; slot 3's unanswered first write is followed by 50 ms and the retry.
    TJournal journal;
    for (int slot = 1; slot <= 16; ++slot) {
        AddSlotWrite(journal, slot);
        if (slot == 3) {
            journal.push_back(Wait(50));
            AddSlotWrite(journal, slot);
        }
        journal.push_back(Wait(80));
    }
    EXPECT_EQ(Line->Journal, journal);
    const TSimImage written = Sim->Image();
    EXPECT_EQ(written, expected);
    EXPECT_TRUE(CrcStored(written.data() + 66, SimBlockChecksum(written)));
}

// After a read, the values nobody edited go back with the bytes the adapter holds (a mantissa bit the
// program never sets included), the one edited from its text; a confirmation of slot 3 that comes late,
// in place of slot 4's answer, is no confirmation of slot 4.
TEST_F(TechWindow, WriteAfterAReadKeepsTheBytesOfUneditedValuesAndNeedsEachSlotsOwnConfirmation) {
    TSimImage image = ReadTestImage();
    image[4 * 10 + 1] |= 0x01; // slot 10 (1.23456789) with the lowest mantissa bit set
    SealSimImage(image);
    Sim->SetImage(image);
    OpenWithPassword();
    ASSERT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(" | ").toStdString();
    Edit("KoefEdit2")->setText(QStringLiteral("7.5"));
    Sim->ClearLog();
    Sim->AddRule(TSimMatch::WriteSlot(3), TSimAction::HoldReply(1));
    Prompts.YesNoAnswers = {false, true};
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Trimel")));

    Button("WriteButton")->click();

    EXPECT_EQ(Prompts.Texts().count("Нет ответа"), 0) << Prompts.Texts().join(" | ").toStdString();
    const TSimImage written = Sim->Image();
    for (int k = 1; k <= 15; ++k) {
        const auto at = static_cast<std::size_t>(4 * k);
        const TSimBytes slot(written.begin() + at, written.begin() + at + 4);
        const TSimBytes read(image.begin() + at, image.begin() + at + 4);
        if (k == 2) {
            const TSimSlot edited = EncodeSimFloat(7.5);
            EXPECT_EQ(slot, TSimBytes(edited.begin(), edited.end()));
        } else if (k != 14) {
            EXPECT_EQ(slot, read) << "slot " << k;
        }
    }
    EXPECT_TRUE(CrcStored(written.data() + 66, SimBlockChecksum(written)));
}

TEST_F(TechWindow, WriteThatLosesTheAdapterAtSlotSevenStopsThere) {
    ShowEnabled();
    Teh().NachButtonClick();
    Sim->AddRule(TSimMatch::WriteSlot(7), TSimAction::Silent(), 2);
    RecordProgress();
    Prompts.YesNoAnswers = {false, true};
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Trimel")));

    Button("WriteButton")->click();

    EXPECT_EQ(Prompts.Texts().count("Нет ответа"), 1);
    EXPECT_EQ(Prompts.Texts().last(), "Нет ответа");
    EXPECT_TRUE(Panel1()->isVisible());
    EXPECT_EQ(Progress()->value(), 37);
    EXPECT_EQ(ProgressValues, (std::vector<int>{6, 12, 18, 25, 31, 37}));
    Line->Settle(); // whatever was sent has reached the adapter
    const auto frames = Sim->RequestFrames();
    ASSERT_EQ(frames.size(), 8u);
    EXPECT_EQ(RequestRegister(frames[6]), SlotRegister(7));
    EXPECT_EQ(RequestRegister(frames[7]), SlotRegister(7));
    // Slot 7 unanswered: 50 ms, the second attempt, and nothing after it.
    ASSERT_GE(Line->Journal.size(), 7u);
    EXPECT_EQ(TJournal(Line->Journal.end() - 7, Line->Journal.end()),
              (TJournal{"write slot 7", Wait(80), Wait(20), Wait(50), "write slot 7", Wait(80), Wait(20)}));
    EXPECT_TRUE(Button("WriteButton")->isEnabled());
}

TEST_F(TechWindow, GarbledWriteRepliesCountAsNoAnswer) {
    ShowEnabled();
    Teh().NachButtonClick();
    // The adapter stores the slot, but neither reply comes back sound.
    Sim->AddRule(TSimMatch::WriteSlot(1), TSimAction::BadChecksum(), 1);
    Sim->AddRule(TSimMatch::WriteSlot(1), TSimAction::Exception(4), 1);
    Prompts.YesNoAnswers = {false, true};
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Trimel")));

    Button("WriteButton")->click();

    EXPECT_EQ(Prompts.Texts().last(), "Нет ответа");
    EXPECT_EQ(Sim->RequestFrames().size(), 2u);
    EXPECT_TRUE(Panel1()->isVisible());
}

TEST_F(TechWindow, WrongPasswordOrNoToProgrammingSendsNothing) {
    ShowEnabled();
    Teh().NachButtonClick();
    // Wrong password; save answered No.
    Prompts.YesNoAnswers = {false};
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
    Button("WriteButton")->click();
    EXPECT_EQ(Prompts.Texts(), (QStringList{"Сохранить данные на диске?", "Пароль введен неверно!"}));
    EXPECT_FALSE(Panel1()->isVisible());

    // Right password, programming refused; the save dialog cancelled still leads to the password.
    Prompts.Shown.clear();
    Prompts.YesNoAnswers = {true, false};
    Prompts.SaveFileAnswers = {QString()};
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Trimel")));
    Button("WriteButton")->click();
    EXPECT_EQ(Prompts.Texts(),
              (QStringList{"Сохранить данные на диске?", "Пароль введен верно. Будем программировать?"}));
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files), QStringList{});

    // The dialog closed by its close button, even with programming confirmed by an earlier showing.
    Pasw().ProgramConfirmed = 1;
    Prompts.Shown.clear();
    Prompts.YesNoAnswers = {false};
    Prompts.DialogHandlers.push_back(CloseDialog());
    Button("WriteButton")->click();
    EXPECT_EQ(Prompts.Texts(), QStringList{"Сохранить данные на диске?"});

    EXPECT_EQ(Line->BytesWritten(), 0u); // nothing at all went to the adapter
    EXPECT_FALSE(Panel1()->isVisible());
}

TEST_F(TechWindow, EmptySaveNameEndsTheWriteSilently) {
    ShowEnabled();
    Teh().NachButtonClick();
    Prompts.YesNoAnswers = {true};
    Prompts.SaveFileAnswers = {QString(QLatin1String(""))}; // confirmed, but with no name
    Button("WriteButton")->click();
    EXPECT_EQ(Prompts.Texts(), QStringList{"Сохранить данные на диске?"});
    for (const auto& shown : Prompts.Shown) {
        EXPECT_NE(shown.kind, TPromptRecord::Dialog);
    }
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files), QStringList{});
    EXPECT_EQ(Line->BytesWritten(), 0u); // nothing at all went to the adapter
}

TEST_F(TechWindow, BuildFailuresWriteNothing) {
    ShowEnabled();
    Teh().NachButtonClick();
    Edit("Edit23")->setText(QStringLiteral("1.2.3"));
    Prompts.YesNoAnswers = {false, true};
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Trimel")));
    Button("WriteButton")->click();
    EXPECT_EQ(Prompts.Texts().last(), "Проверьте данные");
    EXPECT_TRUE(Panel1()->isVisible());
    // The texts up to the failing slot were taken into SlotTexts.
    EXPECT_EQ(Program->CoefBlock.SlotTexts[7], "1.2.3");

    // An address that is not an integer reaches the general error report before the data are offered
    // for saving.
    Edit("Edit23")->setText(QStringLiteral("16"));
    Edit("AdrEdit")->setText(QStringLiteral("1x"));
    Prompts.Shown.clear();
    Button("WriteButton")->click();
    ASSERT_EQ(Prompts.Shown.size(), 1u);
    EXPECT_EQ(Prompts.Shown[0].kind, TPromptRecord::Error);
    EXPECT_EQ(Prompts.Shown[0].text, "'1x' is not a valid integer value.");

    EXPECT_EQ(Line->BytesWritten(), 0u); // nothing at all went to the adapter
    // The guard was released by the error.
    EXPECT_FALSE(Program->Exchange->Busy());
}

TEST_F(TechWindow, AnAddressOutsideTheAdaptersByteIsRefusedBeforeAnythingIsSavedOrSent) {
    ShowEnabled();
    Teh().NachButtonClick();
    for (const char* address : {"256", "300", "-1"}) {
        Edit("AdrEdit")->setText(QString::fromLatin1(address));
        Prompts.Shown.clear();
        // Answers the write would take if it went on: save the data, the right password, Yes.
        Prompts.YesNoAnswers = {true, true};
        Prompts.SaveFileAnswers = {Dir.filePath(QStringLiteral("saved.dat"))};
        Prompts.DialogHandlers = {TypePassword(QStringLiteral("Trimel"))};
        Button("WriteButton")->click();
        EXPECT_EQ(Prompts.Texts(), QStringList{"Проверьте данные"}) << address;
        EXPECT_EQ(Prompts.Shown.size(), 1u) << address << ": a question or dialog followed";
        EXPECT_EQ(Edit("AdrEdit")->text(), QString::fromLatin1(address));
    }
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files), QStringList{});
    EXPECT_EQ(Line->BytesWritten(), 0u); // nothing at all went to the adapter
    EXPECT_TRUE(Sim->Requests().empty());
    EXPECT_FALSE(Panel1()->isVisible());
    EXPECT_FALSE(Program->Exchange->Busy());
    EXPECT_TRUE(Button("WriteButton")->isEnabled());

    // The ends of the byte go through, into slot 15 of the adapter's block.
    for (const auto& [text, address] : {std::pair{"255", 255}, std::pair{"0", 0}}) {
        Edit("AdrEdit")->setText(QString::fromLatin1(text));
        Prompts.Shown.clear();
        Prompts.YesNoAnswers = {false, true};
        Prompts.DialogHandlers = {TypePassword(QStringLiteral("Trimel"))};
        Sim->ClearLog();
        Button("WriteButton")->click();
        EXPECT_EQ(Prompts.Texts(),
                  (QStringList{"Сохранить данные на диске?", "Пароль введен верно. Будем программировать?"}))
            << text;
        EXPECT_EQ(Sim->RequestFrames().size(), 16u) << text;
        EXPECT_EQ(Sim->Slot(15), (TSimSlot{0, static_cast<std::uint8_t>(address), 0, 0})) << text;
        EXPECT_FALSE(Panel1()->isVisible()) << text;
    }
}

// ---------------------------------------------------------------------------------------------
// Initial values and the coefficient file

TEST_F(TechWindow, InitialValuesSavedAsFifteenLinesAndLoadedBack) {
    ShowEnabled();
    ASSERT_FALSE(Button("WriteButton")->isEnabled());
    Label("DataLabel")->setText(QStringLiteral("kept"));
    Button("NachButton")->click();
    EXPECT_TRUE(Button("WriteButton")->isEnabled());
    EXPECT_EQ(Label("DataLabel")->text(), "kept");
    const QStringList initial{"1",   "kept", "0101001", "1010", "630", "16", "4", "85",
                              "-40", "16",   "4",       "200",  "1.5", "16", "4"};
    EXPECT_EQ(ControlTexts(), initial);

    // Saved under the unchanged preset name: the factory number plus the default extension.
    Prompts.YesNoAnswers = {true};
    Prompts.SaveFileAnswers = {QStringLiteral("0101001")};
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("wrong")));
    Button("WriteButton")->click();
    EXPECT_EQ(Prompts.LastSaveInitialName, "0101001");
    EXPECT_EQ(Prompts.LastSaveSuffix, "dat");
    EXPECT_EQ(Prompts.LastSaveFilter, "текстовые(*.dat) (*.dat)");
    EXPECT_EQ(Prompts.Texts(), (QStringList{"Сохранить данные на диске?", "Пароль введен неверно!"}));
    const std::string saved = FileBytes(Dir.filePath(QStringLiteral("0101001.dat")));
    EXPECT_EQ(saved,
              "1\r\n05/04/2013(06:07:08)\r\n0101001\r\n1010\r\n630\r\n16\r\n4\r\n85\r\n-40\r\n16\r\n4\r\n"
              "200\r\n1.5\r\n16\r\n4\r\n");
    EXPECT_EQ(Line->BytesWritten(), 0u); // nothing at all went to the adapter

    // Loaded back into changed controls; the load does not touch WriteButton.
    SetValueTexts(QStringLiteral("x"));
    Edit("AdrEdit")->setText(QStringLiteral("x"));
    Edit("ZavodEdit")->setText(QStringLiteral("x"));
    Prompts.OpenFileAnswers = {Dir.filePath(QStringLiteral("0101001.dat"))};
    Button("ReadFileButton")->click();
    EXPECT_EQ(Prompts.LastOpenFilter, "");
    QStringList loaded = initial;
    loaded[1] = "05/04/2013(06:07:08)";
    EXPECT_EQ(ControlTexts(), loaded);
    EXPECT_TRUE(Button("WriteButton")->isEnabled());
}

TEST_F(TechWindow, SaveKeepsTextsAsTheyAreInWindows1251) {
    ShowEnabled();
    Teh().NachButtonClick();
    Edit("ZavodEdit")->setText(QStringLiteral("Зав1"));
    Edit("KoefEdit1")->setText(QStringLiteral(" 1e3 "));
    Prompts.YesNoAnswers = {true};
    Prompts.SaveFileAnswers = {QStringLiteral("set.txt")}; // has an extension: none added
    Prompts.DialogHandlers.push_back(CloseDialog());
    Button("WriteButton")->click();
    EXPECT_EQ(Prompts.LastSaveInitialName, "Зав1");
    const std::string saved = FileBytes(Dir.filePath(QStringLiteral("set.txt")));
    EXPECT_EQ(saved, "1\r\n05/04/2013(06:07:08)\r\n\xC7\xE0\xE2"
                     "1\r\n 1e3 \r\n630\r\n16\r\n4\r\n85\r\n-40\r\n16\r\n4\r\n200\r\n1.5\r\n16\r\n4\r\n");
    EXPECT_EQ(FileBytes(Dir.filePath(QStringLiteral("set.txt.dat"))), "<missing>");
}

TEST_F(TechWindow, FailedSaveIsReportedAndEndsTheWrite) {
    ShowEnabled();
    Teh().NachButtonClick();
    Prompts.YesNoAnswers = {true};
    Prompts.SaveFileAnswers = {Dir.filePath(QStringLiteral("no/such/folder/x.dat"))};
    Button("WriteButton")->click();
    ASSERT_EQ(Prompts.Shown.size(), 3u); // question, save dialog, error
    EXPECT_EQ(Prompts.Shown[2].kind, TPromptRecord::Error);
    EXPECT_EQ(Prompts.Shown[2].text, "Invalid filename.");
    EXPECT_EQ(Line->BytesWritten(), 0u); // nothing at all went to the adapter
    EXPECT_FALSE(Program->Exchange->Busy());
}

TEST_F(TechWindow, LoadingAShortFileEmptiesTheValuesAndMissingFileChangesNothing) {
    ShowEnabled();
    SetValueTexts(QStringLiteral("old"));
    {
        QFile file(Dir.filePath(QStringLiteral("short.dat")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("7\r\n\xE4\xE0\xF2\xE0\nN5\r\n"); // "дата" in Windows-1251, a bare LF line end
    }
    Prompts.OpenFileAnswers = {Dir.filePath(QStringLiteral("short.dat"))};
    Button("ReadFileButton")->click();
    EXPECT_TRUE(Prompts.Texts().isEmpty());
    QStringList expected{"7", "дата", "N5"};
    for (int i = 0; i < 12; ++i) {
        expected << QString();
    }
    EXPECT_EQ(ControlTexts(), expected);
    EXPECT_FALSE(Button("WriteButton")->isEnabled());

    // A file that does not exist: the general error report, controls unchanged.
    SetValueTexts(QStringLiteral("old"));
    const QStringList before = ControlTexts();
    Prompts.OpenFileAnswers = {Dir.filePath(QStringLiteral("none.dat"))};
    Button("ReadFileButton")->click();
    EXPECT_EQ(Prompts.Texts(), QStringList{"File not found."});
    EXPECT_EQ(ControlTexts(), before);

    // Cancelled: nothing.
    Prompts.OpenFileAnswers = {QString()};
    Button("ReadFileButton")->click();
    EXPECT_EQ(Prompts.Texts().size(), 1);
    EXPECT_EQ(ControlTexts(), before);
    EXPECT_EQ(Line->BytesWritten(), 0u); // nothing at all went to the adapter
}

// ---------------------------------------------------------------------------------------------
// The window itself

// The captions whose blanks matter, the label order of the channel groups, and the starting state.
TEST_F(TechWindow, WindowStartsHiddenDisabledWithItsCaptions) {
    EXPECT_EQ(Teh().windowTitle(), "Технолог.режим работы с коэффициентами RQ7");
    EXPECT_EQ(Teh().size(), QSize(449, 681));
    EXPECT_FALSE(Teh().isVisible());
    EXPECT_FALSE(Teh().isEnabled());
    EXPECT_FALSE(Button("WriteButton")->isEnabled());
    EXPECT_FALSE(Panel1()->isVisibleTo(&Teh()));
    EXPECT_EQ(Progress()->parentWidget(), Panel1());
    EXPECT_EQ(Label("Label20")->parentWidget(), Panel1());

    const QStringList six{"Знач. пар-ра 1-го ЦАП",    "при токе 20 mA", "при токе 4mA",
                          "Знач.тока без коррекции ", "при коде 16 mA", "при коде 4 mA"};
    const std::vector<std::pair<QString, QStringList>> groups = {
        {"      Коэф.по первому каналу",
         {"KoefLabel1", "KoefLabel2", "KoefLabel3", "KoefLabel4", "KoefLabel5", "KoefLabel6"}},
        {"      Коэф.по второму каналу", {"Label1", "Label2", "Label3", "Label4", "Label5", "Label6"}},
        {"      Коэф.по третьему каналу", {"Label10", "Label11", "Label12", "Label13", "Label14", "Label15"}},
    };
    for (std::size_t g = 0; g < groups.size(); ++g) {
        auto* box = Teh().findChild<QGroupBox*>(QStringLiteral("GroupBox%1").arg(g + 1));
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->title(), groups[g].first);
        int previousY = -1;
        for (int i = 0; i < 6; ++i) {
            auto* label = box->findChild<QLabel*>(groups[g].second[i]);
            ASSERT_NE(label, nullptr) << groups[g].second[i].toStdString();
            EXPECT_EQ(label->text(), six[i]);
            EXPECT_GT(label->y(), previousY);
            previousY = label->y();
        }
    }
    EXPECT_EQ(Teh().findChild<QGroupBox*>(QStringLiteral("GroupBox4"))->title(), "Дата записи коэф. RQ7 ");
    EXPECT_EQ(Label("ZavodLabel")->text(), "Зав.№ ");
    EXPECT_EQ(Button("NachButton")->text(), "Начальная установка коэф. ");
}

TEST_F(TechWindow, ControlsStandInsideTheirGroupBoxesAndBothProgressBarsLookAlike) {
    ShowEnabled();
    QWidget& limits = *Program->KoefForPotreb;
    limits.show();
    // Nothing sits on a group box's title or frame line: every control lies within the box's contents.
    for (QWidget* window : {static_cast<QWidget*>(&Teh()), &limits}) {
        const QList<QGroupBox*> boxes = window->findChildren<QGroupBox*>();
        ASSERT_EQ(boxes.size(), 4);
        for (const QGroupBox* box : boxes) {
            const QRect inside = box->contentsRect();
            ASSERT_GT(inside.top(), 0) << box->objectName().toStdString();
            for (QWidget* child : box->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                EXPECT_TRUE(inside.contains(child->geometry()))
                    << child->objectName().toStdString() << " at y " << child->y() << " in "
                    << box->objectName().toStdString() << " whose contents start at y " << inside.top()
                    << " and end at y " << inside.bottom();
            }
        }
    }
    auto* limitsBar = limits.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    ASSERT_NE(limitsBar, nullptr);
    EXPECT_EQ(Progress()->size(), limitsBar->size());
    EXPECT_EQ(Progress()->isTextVisible(), limitsBar->isTextVisible());
    EXPECT_EQ(Progress()->orientation(), limitsBar->orientation());
}

TEST_F(TechWindow, ValueEditsFilterKeystrokes) {
    ShowEnabled();
    QLineEdit* edit = Edit("KoefEdit1");
    QTest::keyClicks(edit, QStringLiteral("1,5"));
    EXPECT_EQ(edit->text(), "1.5");
    edit->clear();
    QTest::keyClicks(edit, QStringLiteral("2e-3"));
    EXPECT_EQ(edit->text(), "2E-3");
    edit->clear();
    QTest::keyClicks(edit, QStringLiteral("+7 a."));
    // The Cyrillic letter е is taken as a Latin E.
    QKeyEvent cyrillic(QEvent::KeyPress, 0, Qt::NoModifier, QStringLiteral("е"));
    QApplication::sendEvent(edit, &cyrillic);
    EXPECT_EQ(edit->text(), "7.E");
    QTest::keyClick(edit, Qt::Key_Backspace);
    EXPECT_EQ(edit->text(), "7.");
    QTest::keyClick(edit, Qt::Key_Left);
    QTest::keyClicks(edit, QStringLiteral("9"));
    EXPECT_EQ(edit->text(), "79.");

    // Clipboard shortcuts do nothing in a value field.
    QGuiApplication::clipboard()->setText(QStringLiteral("123"));
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(edit->text(), "79.");
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(edit->text(), "79.");

    // Every one of the twelve filters; the factory number and address do not.
    edit->clear();
    for (const char* name : kValueEditNames) {
        QTest::keyClicks(Edit(name), QStringLiteral("a+1"));
        EXPECT_EQ(Edit(name)->text(), "1") << name;
    }
    QTest::keyClicks(Edit("ZavodEdit"), QStringLiteral("a+1"));
    QTest::keyClicks(Edit("AdrEdit"), QStringLiteral("x,"));
    EXPECT_EQ(Edit("ZavodEdit")->text(), "a+1");
    EXPECT_EQ(Edit("AdrEdit")->text(), "x,");
}

TEST_F(TechWindow, DeleteKeyRemovesTheCharacterAfterTheCursorInEveryValueEdit) {
    ShowEnabled();
    for (const char* name : kValueEditNames) {
        QLineEdit* edit = Edit(name);
        edit->setText(QStringLiteral("123"));
        edit->setCursorPosition(1);
        // X11 gives the Delete key the text U+007F, which is no character the value filter keeps.
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, QString(QChar(0x7F)));
        QApplication::sendEvent(edit, &press);
        EXPECT_EQ(edit->text(), "13") << name;
        // As the keyboard sends it elsewhere: no text at all.
        QTest::keyClick(edit, Qt::Key_Delete);
        EXPECT_EQ(edit->text(), "1") << name;
    }
}

} // namespace

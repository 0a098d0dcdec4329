// The channel limits window against the adapter simulator, through the real port, with scripted prompts.

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <unistd.h>

#include "coef/CoefBlock.h"
#include "link/ComPort.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "sim/Simulator.h"
#include "support/ScriptedPrompts.h"
#include "support/WatchedLine.h"
#include "ui/ErrorReport.h"
#include "ui/KoefPotrebUnit.h"
#include "ui/PaswKoefUnit.h"
#include "ui/Rq7Program.h"
#include "ui/Rq7Unit.h"

namespace {

constexpr std::uint8_t kAdapterAddress = 7;
// The adapter's slot 15 names another address: the window must take the one the identify reply carries.
constexpr std::uint8_t kSlot15Address = 9;
const TLocalTime kWriteTime{2013, 4, 5, 6, 7, 8};

TSimSlot LittleEndian(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

std::uint16_t RegisterOf(const TSimBytes& frame) {
    return static_cast<std::uint16_t>((frame.at(2) << 8) | frame.at(3));
}

bool IsIdentify(const TSimBytes& frame) {
    return frame.at(1) == 3 && RegisterOf(frame) == 0;
}
bool IsSlotRead(const TSimBytes& frame, int k) {
    return frame.at(1) == 3 && RegisterOf(frame) == 255 + 2 * k;
}
bool IsSlotWrite(const TSimBytes& frame, int k) {
    return frame.at(1) == 16 && RegisterOf(frame) == 255 + 2 * k;
}

const std::vector<int> kProgressSteps{6, 12, 18, 25, 31, 37, 43, 50, 56, 62, 68, 75, 81, 87, 93, 100};

using TJournal = std::vector<std::string>;

std::string Wait(int ms) {
    return TWatchedLine::Wait(ms);
}

// The read's slot loop: each slot read as the device operation makes it (100 ms before collecting, 20 ms
// after; twice for the slots in readTwice), then the window's wait after the slot.
TJournal ReadLoop(int waitAfterSlot, const std::vector<int>& readTwice = {}) {
    TJournal journal;
    for (int k = 1; k <= 16; ++k) {
        const int times = std::find(readTwice.begin(), readTwice.end(), k) != readTwice.end() ? 2 : 1;
        for (int i = 0; i < times; ++i) {
            journal.insert(journal.end(), {"read slot " + std::to_string(k), Wait(100), Wait(20)});
        }
        journal.push_back(Wait(waitAfterSlot));
    }
    return journal;
}

// How many of this process's descriptors lead to the file.
int OpenDescriptorsOn(const QString& path) {
    const std::string target = path.toStdString();
    int count = 0;
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) {
        return -1;
    }
    while (const dirent* entry = ::readdir(fds)) {
        std::array<char, 4096> link{};
        const std::string name = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = ::readlink(name.c_str(), link.data(), link.size());
        if (n > 0 && std::string(link.data(), static_cast<std::size_t>(n)) == target) {
            ++count;
        }
    }
    ::closedir(fds);
    return count;
}

TJournal Concat(TJournal a, const TJournal& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class LimitsWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        OldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(Dir.path()));
        Sim = std::make_unique<TAdapterSimulator>(kAdapterAddress);
        Sim->SetSlot(3, EncodeSimFloat(1.23456789));
        Sim->SetSlot(12, EncodeSimFloat(3.984375));
        Sim->SetSlot(15, {0, kSlot15Address, 0, 0});
        Sim->SealImage();
        Line = std::make_unique<TWatchedLine>(*Sim);
        Program = std::make_unique<TRq7Program>(
            Prompts, TLinkParts{Line->Opener(), &Line->Clock(), (Dir.path() + "/journal.txt").toStdString(),
                                (Dir.path() + "/history.sqlite").toStdString()});
        Program->Create();
        Program->CoefBlock.LocalNow = [] { return kWriteTime; };
        Program->QuorbDataModule->ComPort.SetPort(Sim->DevicePath());
        // The main window's first showing opens the port.
        Program->Rq7Form->show();
        ASSERT_TRUE(Program->QuorbDataModule->ComPort.Connected());
        ASSERT_TRUE(Prompts.Shown.empty());
        QObject::connect(Progress(), &QProgressBar::valueChanged,
                         [this](int value) { ProgressValues.push_back(value); });
    }

    void TearDown() override {
        Program.reset();
        Line.reset();
        Sim.reset();
        QDir::setCurrent(OldCwd);
    }

    TKoefForPotreb& Win() { return *Program->KoefForPotreb; }
    template <typename T> T* Find(const char* name) {
        T* widget = Win().findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QLineEdit* Edit(const char* name) { return Find<QLineEdit>(name); }
    QString Text(const char* name) { return Edit(name)->text(); }
    QLabel* Label(const char* name) { return Find<QLabel>(name); }
    QPushButton* Button(const char* name) { return Find<QPushButton>(name); }
    QWidget* Panel(const char* name) { return Find<QWidget>(name); }
    QProgressBar* Progress() { return Find<QProgressBar>("ProgressBar1"); }

    // Runs a handler as a button or menu item does: an uncaught error goes to the general error report.
    template <typename F> void Run(F&& handler) { RunReported(Prompts, std::forward<F>(handler)); }

    // The six limit edits in slot order.
    QStringList Limits() {
        return {Text("Canal1_20"), Text("Canal1_4"),  Text("Canal2_20"),
                Text("Canal2_4"),  Text("Canal3_20"), Text("Canal3_4")};
    }
    void SetLimits(const QStringList& texts) {
        const char* names[] = {"Canal1_20", "Canal1_4", "Canal2_20", "Canal2_4", "Canal3_20", "Canal3_4"};
        for (int i = 0; i < 6; ++i) {
            Edit(names[i])->setText(texts.at(i));
        }
    }

    // A window state from which a write can run without a read first: the kept texts of the slots that
    // the window does not show, and sound limits, factory number and address.
    void PrepareWrite() {
        for (const int k : {3, 4, 7, 8, 11, 12}) {
            Program->CoefBlock.SlotTexts.at(static_cast<std::size_t>(k)) = "4.0000";
        }
        SetLimits({"16.50", "1.25", "85.00", "-40.00", "250.00", "0.00"});
        Edit("ZavodNEdit")->setText(QStringLiteral("0101001"));
        Edit("AdrEdit")->setText(QStringLiteral("7"));
    }

    static std::string FileBytes(const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            return "<missing>";
        }
        return file.readAll().toStdString();
    }

    QTemporaryDir Dir;
    QString OldCwd;
    std::unique_ptr<TAdapterSimulator> Sim;
    std::unique_ptr<TWatchedLine> Line;
    TScriptedPrompts Prompts;
    std::unique_ptr<TRq7Program> Program;
    std::vector<int> ProgressValues;
};

TEST_F(LimitsWindowTest, FormHasItsControlsAndStartsHiddenDisabledWithoutProgress) {
    EXPECT_EQ(Win().windowTitle(), QStringLiteral("Коэффициенты адаптера RQ7"));
    EXPECT_EQ(Win().size(), QSize(466, 501));
    EXPECT_TRUE(Win().isHidden());
    EXPECT_FALSE(Win().isEnabled());
    EXPECT_EQ(Label("Label1")->text(), QStringLiteral("Коэффициенты адаптера RQ7           Зав. №  "));
    EXPECT_EQ(Label("AdrLabel")->text(), QStringLiteral("Адрес обращения "));
    EXPECT_EQ(Find<QGroupBox>("GroupBox1")->title(), QStringLiteral("Границы по первому каналу"));
    EXPECT_EQ(Find<QGroupBox>("GroupBox2")->title(), QStringLiteral("Границы по второму каналу"));
    EXPECT_EQ(Find<QGroupBox>("GroupBox3")->title(), QStringLiteral("Границы по третьему каналу"));
    EXPECT_EQ(Find<QGroupBox>("GroupBox4")->title(), QStringLiteral("Дата записи коэф. RQ7"));
    for (const char* name : {"Label2", "Label4", "Label6"}) {
        EXPECT_EQ(Label(name)->text(), QStringLiteral("при токе 20 mA")) << name;
    }
    for (const char* name : {"Label3", "Label5", "Label7"}) {
        EXPECT_EQ(Label(name)->text(), QStringLiteral("при токе 4 mA")) << name;
    }
    // Each group holds its channel's two edits, the upper one beside the 20 mA label.
    EXPECT_EQ(Edit("Canal2_20")->parentWidget(), Find<QGroupBox>("GroupBox2"));
    EXPECT_LT(Edit("Canal2_20")->y(), Edit("Canal2_4")->y());
    EXPECT_EQ(Button("ReadButton")->text(), QStringLiteral("Чтение коэффициентов"));
    EXPECT_EQ(Button("WriteButton")->text(), QStringLiteral("Запись коэффициентов"));
    EXPECT_EQ(Button("IschodButton")->text(), QStringLiteral("Восстановить исходные значения коэффициентов"));
    EXPECT_FALSE(Button("WriteButton")->isEnabled());
    EXPECT_EQ(Button("ReadButton")->parentWidget(), Panel("Panel1"));
    EXPECT_FALSE(Panel("Panel1")->isHidden());
    EXPECT_TRUE(Panel("Panel2")->isHidden());
    EXPECT_EQ(Label("Label8")->parentWidget(), Panel("Panel2"));
    EXPECT_EQ(Progress()->parentWidget(), Panel("Panel2"));
    EXPECT_EQ(Progress()->minimum(), 0);
    EXPECT_EQ(Progress()->maximum(), 100);
    // The two date labels share their place, DateLabel on top.
    QLabel* date = Label("DateLabel");
    QLabel* dataZap = Label("DataZapLabel");
    EXPECT_EQ(date->geometry(), dataZap->geometry());
    const QObjectList stack = Find<QGroupBox>("GroupBox4")->children();
    EXPECT_GT(stack.indexOf(date), stack.indexOf(dataZap));
    for (const char* name : {"ZavodNEdit", "AdrEdit", "Canal1_20", "Canal3_4"}) {
        EXPECT_TRUE(Text(name).isEmpty()) << name;
    }
}

TEST_F(LimitsWindowTest, TheOpeningReadsDateHidesTheLaterReadsDateBehindIt) {
    QLabel* date = Label("DateLabel");
    QLabel* dataZap = Label("DataZapLabel");
    auto* group = Find<QGroupBox>("GroupBox4");
    const QRect place = date->geometry();
    ASSERT_EQ(place, dataZap->geometry());
    // The picture at the labels' place with DataZapLabel's text for once taken away.
    auto withoutDataZap = [&] {
        const QString text = dataZap->text();
        dataZap->clear();
        QImage picture = group->grab(place).toImage();
        dataZap->setText(text);
        return picture;
    };

    // An opening read stopped before the date leaves DateLabel empty: the read command's date shows.
    Sim->AddRule(TSimMatch::ReadSlot(9), TSimAction::Silent(), 2);
    Program->Rq7Form->N4()->trigger();
    Button("ReadButton")->click();
    ASSERT_EQ(Prompts.Texts(), QStringList{QStringLiteral("Сбой!")});
    ASSERT_TRUE(date->text().isEmpty());
    ASSERT_EQ(dataZap->text(), QStringLiteral("14:5  3.7.2012"));
    EXPECT_FALSE(group->grab(place).toImage() == withoutDataZap()) << "the only date read is not shown";

    // The next opening read shows its date in DateLabel; a read command after the adapter was written at
    // another time puts that date into DataZapLabel, behind it. Only the front date is seen.
    Prompts.Shown.clear();
    Program->Rq7Form->N4()->trigger();
    Sim->SetSlot(14, LittleEndian(PackDateTime({2021, 11, 28, 23, 59, 58})));
    Sim->SealImage();
    Button("ReadButton")->click();
    ASSERT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(" | ").toStdString();
    ASSERT_EQ(date->text(), QStringLiteral("14:5  3.7.2012"));
    ASSERT_EQ(dataZap->text(), QStringLiteral("23:59  28.11.2021"));
    const QImage shown = group->grab(place).toImage();
    EXPECT_TRUE(shown == withoutDataZap()) << "the date behind shows through";
    // The picture does hold the front date: without it the place looks otherwise.
    date->clear();
    EXPECT_FALSE(group->grab(place).toImage() == shown);
    // Both labels keep their place, DateLabel in front.
    EXPECT_EQ(dataZap->geometry(), place);
    const QObjectList stack = group->children();
    EXPECT_GT(stack.indexOf(date), stack.indexOf(dataZap));
}

TEST_F(LimitsWindowTest, KeyFiltersShapeWhatIsTypedAndRefuseClipboardShortcuts) {
    Win().show();
    Win().setEnabled(true);
    QLineEdit* limit = Edit("Canal2_4");
    QTest::keyClicks(limit, "1,5");
    EXPECT_EQ(limit->text(), QStringLiteral("1.5"));
    limit->clear();
    QTest::keyClicks(limit, "2e-3 +x");
    EXPECT_EQ(limit->text(), QStringLiteral("2E-3"));
    // The Cyrillic letter е becomes a Latin E.
    QKeyEvent cyrillic(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(0x0435)));
    QApplication::sendEvent(limit, &cyrillic);
    EXPECT_EQ(limit->text(), QStringLiteral("2E-3E"));
    QTest::keyClick(limit, Qt::Key_Backspace);
    EXPECT_EQ(limit->text(), QStringLiteral("2E-3"));

    QLineEdit* factory = Edit("ZavodNEdit");
    QTest::keyClicks(factory, "12a-3.4,E5");
    EXPECT_EQ(factory->text(), QStringLiteral("12345"));
    QTest::keyClick(factory, Qt::Key_Backspace);
    EXPECT_EQ(factory->text(), QStringLiteral("1234"));

    // The address edit takes everything, the clipboard included; the filtered edits take no paste.
    QApplication::clipboard()->setText(QStringLiteral("99"));
    QLineEdit* address = Edit("AdrEdit");
    QTest::keyClicks(address, "a,b");
    QTest::keyClick(address, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(address->text(), QStringLiteral("a,b99"));
    QTest::keyClick(limit, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(limit->text(), QStringLiteral("2E-3"));
    QTest::keyClick(factory, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(factory->text(), QStringLiteral("1234"));
    // Cutting does nothing either.
    limit->selectAll();
    QTest::keyClick(limit, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(limit->text(), QStringLiteral("2E-3"));
}

TEST_F(LimitsWindowTest, OpeningReadFillsTheWindowAndTheBackupFileAndRestorePutsTheLimitsBack) {
    // A garbled reply to slot 3 is read again at once.
    Sim->AddRule(TSimMatch::ReadSlot(3), TSimAction::BadChecksum());
    Program->Rq7Form->move(300, 280);
    Program->Rq7Form->N4()->trigger();

    EXPECT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(" | ").toStdString();
    EXPECT_TRUE(Win().isVisible());
    EXPECT_TRUE(Win().isEnabled());
    // Centred over the main window, give or take the platform's frame margins.
    const QPoint offset = Win().geometry().center() - Program->Rq7Form->geometry().center();
    EXPECT_LE(std::abs(offset.x()), 3) << offset.x();
    EXPECT_LE(std::abs(offset.y()), 3) << offset.y();

    EXPECT_EQ(Text("AdrEdit"), QStringLiteral("7"));
    EXPECT_EQ(Limits(), (QStringList{"16.00", "0.00", "85.00", "-40.00", "250.00", "0.00"}));
    EXPECT_EQ(Text("ZavodNEdit"), QStringLiteral("0101001"));
    EXPECT_EQ(Label("DateLabel")->text(), QStringLiteral("14:5  3.7.2012"));
    EXPECT_TRUE(Label("DataZapLabel")->text().isEmpty());
    EXPECT_TRUE(Button("WriteButton")->isEnabled());
    EXPECT_TRUE(Panel("Panel2")->isHidden());
    EXPECT_EQ(Label("Label8")->text(), QStringLiteral(" Чтение коэффициентов "));
    EXPECT_EQ(ProgressValues, kProgressSteps);

    // Lines 7 and 8 repeat slot 12, the last value read before slots 13 and 14.
    EXPECT_EQ(FileBytes(QStringLiteral("tmp.dat")),
              "16.00\r\n0.00\r\n85.00\r\n-40.00\r\n250.00\r\n0.00\r\n3.98\r\n3.98\r\n");
    const auto& texts = Program->CoefBlock.SlotTexts;
    EXPECT_EQ(texts[3], "1.2346");
    EXPECT_EQ(texts[5], "85.0000");
    EXPECT_EQ(texts[6], "-40.0000");
    EXPECT_EQ(texts[12], "3.9844");

    const std::vector<TSimBytes> frames = Sim->RequestFrames();
    ASSERT_EQ(frames.size(), 18U);
    EXPECT_TRUE(IsIdentify(frames[0]));
    EXPECT_TRUE(IsSlotRead(frames[3], 3));
    EXPECT_TRUE(IsSlotRead(frames[4], 3));
    EXPECT_TRUE(IsSlotRead(frames[17], 16));
    // The opening read waits 100 ms after each slot.
    EXPECT_EQ(Line->Journal, Concat({"identify", Wait(50)}, ReadLoop(100, {3})));

    // Restore after editing: the six texts of the opening read come back, without any exchange.
    Sim->ClearLog();
    SetLimits({"1", "2", "3", "4", "5", "6"});
    Edit("ZavodNEdit")->setText(QStringLiteral("5"));
    Button("IschodButton")->click();
    EXPECT_EQ(Limits(), (QStringList{"16.00", "0.00", "85.00", "-40.00", "250.00", "0.00"}));
    EXPECT_EQ(Text("ZavodNEdit"), QStringLiteral("5"));
    EXPECT_TRUE(Button("WriteButton")->isEnabled());
    EXPECT_TRUE(Sim->Requests().empty());
    EXPECT_TRUE(Prompts.Texts().isEmpty());
}

TEST_F(LimitsWindowTest, OpeningWithoutAnswerHidesTheWindowAndLeavesTheBackupFile) {
    {
        QFile old(QStringLiteral("tmp.dat"));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old\r\n");
    }
    Sim->AddRule(TSimMatch::Identify(), TSimAction::Silent(), 2);
    Edit("Canal1_20")->setText(QStringLiteral("kept"));
    Program->Rq7Form->hide();
    Program->Rq7Form->N4()->trigger();

    EXPECT_EQ(Prompts.Texts(), QStringList{QStringLiteral("Нет ответа")});
    EXPECT_TRUE(Win().isHidden());
    EXPECT_TRUE(Win().isEnabled());             // the opening command enables it all the same
    EXPECT_TRUE(Program->Rq7Form->isVisible()); // closing the window shows the main window
    EXPECT_EQ(FileBytes(QStringLiteral("tmp.dat")), "old\r\n");
    EXPECT_TRUE(Text("AdrEdit").isEmpty());
    EXPECT_EQ(Text("Canal1_20"), QStringLiteral("kept"));
    EXPECT_FALSE(Button("WriteButton")->isEnabled());
    const std::vector<TSimBytes> frames = Sim->RequestFrames();
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_TRUE(IsIdentify(frames[0]) && IsIdentify(frames[1]));
    EXPECT_EQ(Line->Journal, (TJournal{"identify", Wait(50), Wait(50), "identify", Wait(50)}));

    // The read command without an answer leaves the window open.
    Win().show();
    Sim->AddRule(TSimMatch::Identify(), TSimAction::Silent(), 2);
    Button("ReadButton")->click();
    EXPECT_EQ(Prompts.Texts(), (QStringList{QStringLiteral("Нет ответа"), QStringLiteral("Нет ответа")}));
    EXPECT_TRUE(Win().isVisible());
    EXPECT_EQ(Sim->RequestFrames().size(), 4U);
}

TEST_F(LimitsWindowTest, FailedSlotKeepsTheLinesReadBeforeAndRestoreEmptiesTheRest) {
    // Slot 6: an exception reply, then no reply.
    Sim->AddRule(TSimMatch::ReadSlot(6), TSimAction::Exception(4));
    Sim->AddRule(TSimMatch::ReadSlot(6), TSimAction::Silent());
    Edit("Canal2_4")->setText(QStringLiteral("earlier"));
    Edit("Canal3_20")->setText(QStringLiteral("earlier"));
    Edit("ZavodNEdit")->setText(QStringLiteral("777"));
    Program->Rq7Form->N4()->trigger();

    // No checksum verification after a failed read (the slots not read would fail it).
    EXPECT_EQ(Prompts.Texts(), QStringList{QStringLiteral("Сбой!")});
    EXPECT_EQ(FileBytes(QStringLiteral("tmp.dat")), "16.00\r\n0.00\r\n85.00\r\n");
    EXPECT_EQ(Limits(), (QStringList{"16.00", "0.00", "85.00", "earlier", "earlier", ""}));
    EXPECT_EQ(Text("ZavodNEdit"), QStringLiteral("777"));
    EXPECT_EQ(Text("AdrEdit"), QStringLiteral("7"));
    EXPECT_TRUE(Panel("Panel2")->isHidden());
    EXPECT_TRUE(Button("WriteButton")->isEnabled());
    EXPECT_TRUE(Win().isEnabled());
    EXPECT_EQ(ProgressValues, (std::vector<int>{6, 12, 18, 25, 31}));
    const std::vector<TSimBytes> frames = Sim->RequestFrames();
    ASSERT_EQ(frames.size(), 8U); // identify, slots 1 to 5, slot 6 twice
    EXPECT_TRUE(IsSlotRead(frames[6], 6));
    EXPECT_TRUE(IsSlotRead(frames[7], 6));

    Sim->ClearLog();
    Button("IschodButton")->click();
    EXPECT_EQ(Limits(), (QStringList{"16.00", "0.00", "85.00", "", "", ""}));
    EXPECT_TRUE(Sim->Requests().empty());
}

TEST_F(LimitsWindowTest, BackupFileHoldsEachLineOnceItsSlotIsReadAndKeepsThemWhenTheLineIsLost) {
    {
        QFile old(QStringLiteral("tmp.dat"));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(4000, 'o') + "\r\n");
    }
    // The file as it stands when the progress bar shows each slot done.
    std::vector<std::string> atProgress;
    int heldDuringTheRead = -1;
    QObject::connect(Progress(), &QProgressBar::valueChanged, [&](int) {
        atProgress.push_back(FileBytes(QStringLiteral("tmp.dat")));
        heldDuringTheRead = OpenDescriptorsOn(QFileInfo(QStringLiteral("tmp.dat")).canonicalFilePath());
    });
    // The adapter's line goes away at slot 11.
    Sim->AddRule(TSimMatch::ReadSlot(11), TSimAction::HangUp());
    Program->Rq7Form->N4()->trigger();

    EXPECT_EQ(Prompts.Texts(), QStringList{"ClearCommError function failed (win error code: 1117)"});
    const std::string l1 = "16.00\r\n", l2 = "0.00\r\n", l5 = "85.00\r\n", l6 = "-40.00\r\n",
                      l9 = "250.00\r\n", l10 = "0.00\r\n";
    EXPECT_EQ(atProgress, (std::vector<std::string>{l1, l1 + l2, l1 + l2, l1 + l2, l1 + l2 + l5,
                                                    l1 + l2 + l5 + l6, l1 + l2 + l5 + l6, l1 + l2 + l5 + l6,
                                                    l1 + l2 + l5 + l6 + l9, l1 + l2 + l5 + l6 + l9 + l10}));
    EXPECT_EQ(FileBytes(QStringLiteral("tmp.dat")), l1 + l2 + l5 + l6 + l9 + l10);
    // The file was open once through the read, and the error closed it on its way out.
    EXPECT_EQ(heldDuringTheRead, 1);
    EXPECT_EQ(OpenDescriptorsOn(QFileInfo(QStringLiteral("tmp.dat")).canonicalFilePath()), 0);
    EXPECT_FALSE(Program->Exchange->Busy());
}

TEST_F(LimitsWindowTest, RestoreWithoutBackupFileChangesNothing) {
    Edit("Canal1_20")->setText(QStringLiteral("1.5"));
    Run([this] { Win().IschodButtonClick(); });
    ASSERT_EQ(Prompts.Shown.size(), 1U);
    EXPECT_EQ(Prompts.Shown[0].kind, TPromptRecord::Error);
    EXPECT_EQ(Prompts.Shown[0].title, ApplicationTitle());
    EXPECT_EQ(Prompts.Shown[0].text, QStringLiteral("File not found."));
    EXPECT_EQ(Text("Canal1_20"), QStringLiteral("1.5"));
    EXPECT_FALSE(Button("WriteButton")->isEnabledTo(&Win()));

    // A short file written elsewhere (LF lines) fills what it has and enables the write.
    {
        QFile file(QStringLiteral("tmp.dat"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("1.00\n2.00\r\n-3.50");
    }
    Run([this] { Win().IschodButtonClick(); });
    EXPECT_EQ(Limits(), (QStringList{"1.00", "2.00", "-3.50", "", "", ""}));
    EXPECT_TRUE(Button("WriteButton")->isEnabledTo(&Win()));
}

TEST_F(LimitsWindowTest, BackupFileThatCannotBeCreatedStopsTheFirstOpeningWithTheWindowDisabled) {
    ASSERT_TRUE(QDir().mkdir(QStringLiteral("tmp.dat")));
    Program->Rq7Form->N4()->trigger();
    ASSERT_EQ(Prompts.Shown.size(), 1U);
    EXPECT_EQ(Prompts.Shown[0].kind, TPromptRecord::Error);
    EXPECT_EQ(Prompts.Shown[0].text, QStringLiteral("File access denied."));
    EXPECT_TRUE(Win().isVisible());
    EXPECT_FALSE(Win().isEnabled());
    EXPECT_TRUE(Text("AdrEdit").isEmpty());
    EXPECT_TRUE(Panel("Panel2")->isHidden());
    EXPECT_EQ(Sim->RequestFrames().size(), 1U); // the identify request only
    EXPECT_FALSE(Program->Exchange->Busy());
    EXPECT_TRUE(QFileInfo(QStringLiteral("tmp.dat")).isDir());
}

TEST_F(LimitsWindowTest, ReadCommandThenWriteSendsTheAddressAndTheWholeBlock) {
    // The identify request is answered only on its second attempt; the block's checksum is spoiled.
    Sim->AddRule(TSimMatch::Identify(), TSimAction::AnswerSecondAttempt());
    Sim->SetSlot(16, {0xFF, 0x00, 0x12, 0x34});
    Win().show();
    Win().setEnabled(true);
    Button("ReadButton")->click();

    EXPECT_EQ(Prompts.Texts(), QStringList{QStringLiteral("Ошибка кс")});
    EXPECT_EQ(Text("AdrEdit"), QStringLiteral("7"));
    EXPECT_EQ(Limits(), (QStringList{"16.00", "0.00", "85.00", "-40.00", "250.00", "0.00"}));
    EXPECT_EQ(Label("DataZapLabel")->text(), QStringLiteral("14:5  3.7.2012"));
    EXPECT_TRUE(Label("DateLabel")->text().isEmpty());
    EXPECT_EQ(FileBytes(QStringLiteral("tmp.dat")), "<missing>");
    EXPECT_TRUE(Button("WriteButton")->isEnabled());
    EXPECT_EQ(ProgressValues, kProgressSteps);
    const std::vector<TSimRecord> requests = Sim->Requests();
    ASSERT_EQ(requests.size(), 18U);
    EXPECT_TRUE(IsIdentify(requests[0].Bytes) && IsIdentify(requests[1].Bytes));
    // The first identify waits 50 ms for its reply, then 50 ms more before the second attempt; the read
    // command waits 50 ms after each slot.
    EXPECT_EQ(Line->Journal, Concat({"identify", Wait(50), Wait(50), "identify", Wait(50)}, ReadLoop(50)));

    // A write over a block whose checksum is wrong, with no interrupted write of ours to explain it, is
    // refused: the values the window does not show would be sealed under a fresh checksum.
    Sim->ClearLog();
    Prompts.Shown.clear();
    Edit("Canal1_20")->setText(QStringLiteral("20"));
    Edit("AdrEdit")->setText(QStringLiteral("12"));
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
    Button("WriteButton")->click();
    EXPECT_EQ(Prompts.Texts(), QStringList{QStringLiteral("Ошибка кс")});
    EXPECT_TRUE(Sim->RequestFrames().empty());
    EXPECT_EQ(Sim->Address(), kAdapterAddress);

    // Once the block is sound again and read anew, the write goes through: new limit and address; the
    // unshown slots go back with the bytes the adapter holds.
    Sim->SealImage();
    Button("ReadButton")->click();
    ASSERT_TRUE(Prompts.Texts().size() == 1) << Prompts.Texts().join(" | ").toStdString();
    Sim->ClearLog();
    Line->Journal.clear();
    ProgressValues.clear();
    Prompts.Shown.clear();
    Edit("Canal1_20")->setText(QStringLiteral("20"));
    Edit("AdrEdit")->setText(QStringLiteral("12"));
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
    Button("WriteButton")->click();

    EXPECT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(" | ").toStdString();
    EXPECT_EQ(Program->PaswKoefForm->PasswordMode, 1);
    EXPECT_EQ(ProgressValues, kProgressSteps);
    EXPECT_TRUE(Panel("Panel2")->isHidden());
    EXPECT_EQ(Label("Label8")->text(), QStringLiteral("Внимание! Идет запись коэффициентов ППЗУ!"));
    const std::vector<TSimBytes> frames = Sim->RequestFrames();
    ASSERT_EQ(frames.size(), 17U);
    EXPECT_EQ(frames[0], (TSimBytes{0x00, 0x06, 0x01, 0x77, 0x00, 0x0C, 0x39, 0xF8}));
    for (int k = 1; k <= 16; ++k) {
        EXPECT_TRUE(IsSlotWrite(frames[static_cast<std::size_t>(k)], k)) << k;
    }
    EXPECT_EQ(Sim->Address(), 12);
    // The address write waits 50 ms before collecting and 10 ms after; each slot write 80 and 20 ms, then
    // the window waits 50 ms.
    TJournal journal{"write register 375 = 12", Wait(50), Wait(10)};
    for (int k = 1; k <= 16; ++k) {
        journal.insert(journal.end(), {"write slot " + std::to_string(k), Wait(80), Wait(20), Wait(50)});
    }
    EXPECT_EQ(Line->Journal, journal);

    TSimImage expected = DefaultSimImage(12);
    auto put = [&expected](int k, const TSimSlot& slot) {
        std::copy(slot.begin(), slot.end(), expected.begin() + 4 * k);
    };
    put(1, EncodeSimFloat(20.0));
    put(3, EncodeSimFloat(1.23456789));
    put(12, EncodeSimFloat(3.984375));
    put(14, LittleEndian(PackDateTime(kWriteTime)));
    SealSimImage(expected);
    EXPECT_EQ(Sim->Image(), expected);
}

TEST_F(LimitsWindowTest, WriteWithWrongOrNoPasswordSendsNothing) {
    PrepareWrite();
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("vosek")));
    Prompts.DialogHandlers.push_back(CloseDialog());
    // The right password typed, then the dialog closed by its close button: no consent.
    Prompts.DialogHandlers.push_back([](QDialog& dialog) {
        dialog.findChild<QLineEdit*>(QStringLiteral("PaswKoefEdit"))->setText(QStringLiteral("Vosek"));
        dialog.reject();
    });
    Run([this] { Win().WriteButtonClick(); });
    Run([this] { Win().WriteButtonClick(); });
    Run([this] { Win().WriteButtonClick(); });
    EXPECT_TRUE(Prompts.DialogHandlers.empty());
    EXPECT_EQ(Program->PaswKoefForm->PasswordMode, 1);
    EXPECT_TRUE(Sim->Requests().empty());
    EXPECT_FALSE(Prompts.Texts().contains(QStringLiteral("Нет ответа")));
    EXPECT_TRUE(Panel("Panel2")->isHidden());
}

TEST_F(LimitsWindowTest, BadInputIsRefusedBeforeAnythingIsSent) {
    struct TCase {
        const char* Edit;
        QString Text;
        TPromptRecord::Kind Kind;
        QString Message;
    };
    const TCase cases[] = {
        {"Canal2_4", QStringLiteral("1.2.3"), TPromptRecord::Message, QStringLiteral("Проверьте данные")},
        {"Canal3_4", QString(), TPromptRecord::Message, QStringLiteral("Проверьте данные")},
        {"ZavodNEdit", QStringLiteral("12345678901"), TPromptRecord::Message,
         QStringLiteral("Проверьте данные")},
        {"AdrEdit", QStringLiteral("7a"), TPromptRecord::Error,
         QStringLiteral("'7a' is not a valid integer value.")},
        {"Canal1_20", QStringLiteral("1E39"), TPromptRecord::Error,
         QStringLiteral("Floating point overflow.")},
    };
    for (const TCase& c : cases) {
        PrepareWrite();
        Edit(c.Edit)->setText(c.Text);
        Prompts.Shown.clear();
        Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
        Run([this] { Win().WriteButtonClick(); });
        ASSERT_EQ(Prompts.Shown.size(), 2U) << c.Edit; // the password dialog, then the refusal
        EXPECT_EQ(Prompts.Shown[1].kind, c.Kind) << c.Edit;
        EXPECT_EQ(Prompts.Shown[1].text, c.Message) << c.Edit;
        EXPECT_TRUE(Panel("Panel2")->isHidden()) << c.Edit;
    }
    // Not even the address register was written.
    EXPECT_TRUE(Sim->Requests().empty());
    EXPECT_TRUE(Sim->RegisterWrites().empty());
    EXPECT_FALSE(Program->Exchange->Busy());
}

TEST_F(LimitsWindowTest, AnAddressOutsideTheAdaptersByteIsRefusedBeforeAnythingIsSent) {
    Program->Rq7Form->N4()->trigger();
    ASSERT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(" | ").toStdString();
    const std::string backup = FileBytes(QStringLiteral("tmp.dat"));
    const auto slotTexts = Program->CoefBlock.SlotTexts;
    const std::uint64_t sentBefore = Line->BytesWritten();
    Sim->ClearLog();
    for (const char* address : {"256", "300", "-1"}) {
        Edit("AdrEdit")->setText(QString::fromLatin1(address));
        Prompts.Shown.clear();
        Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
        Button("WriteButton")->click();
        ASSERT_EQ(Prompts.Shown.size(), 2U) << address; // the password dialog, then the refusal
        EXPECT_EQ(Prompts.Shown[1].kind, TPromptRecord::Message) << address;
        EXPECT_EQ(Prompts.Shown[1].text, QStringLiteral("Проверьте данные")) << address;
        EXPECT_EQ(Text("AdrEdit"), QString::fromLatin1(address));
    }
    EXPECT_TRUE(Sim->Requests().empty());
    EXPECT_EQ(Line->BytesWritten(), sentBefore);
    EXPECT_EQ(Sim->Address(), kAdapterAddress);
    EXPECT_TRUE(Panel("Panel2")->isHidden());
    EXPECT_EQ(FileBytes(QStringLiteral("tmp.dat")), backup);
    EXPECT_EQ(Program->CoefBlock.SlotTexts, slotTexts);
    EXPECT_FALSE(Program->Exchange->Busy());
    EXPECT_TRUE(Button("WriteButton")->isEnabled());
    EXPECT_TRUE(Button("ReadButton")->isEnabled());

    // The ends of the byte go through: the address register, then the block with it in slot 15.
    for (const auto& [text, address] : {std::pair{"255", 255}, std::pair{"0", 0}}) {
        Edit("AdrEdit")->setText(QString::fromLatin1(text));
        Prompts.Shown.clear();
        Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
        Sim->ClearLog();
        Button("WriteButton")->click();
        EXPECT_EQ(Prompts.Shown.size(), 1U) << text; // the password dialog only
        const std::vector<TSimBytes> frames = Sim->RequestFrames();
        ASSERT_EQ(frames.size(), 17U) << text;
        EXPECT_EQ(RegisterOf(frames[0]), 375) << text;
        EXPECT_EQ(frames[0].at(4), 0) << text;
        EXPECT_EQ(frames[0].at(5), address) << text;
        EXPECT_EQ(Sim->Address(), address) << text;
        EXPECT_EQ(Sim->Slot(15), (TSimSlot{0, static_cast<std::uint8_t>(address), 0, 0})) << text;
    }
}

TEST_F(LimitsWindowTest, UnconfirmedWritesAreRetriedOnceThenReportedAsNoAnswer) {
    // An exception reply to the address write, twice: nothing more is sent.
    PrepareWrite();
    Sim->AddRule(TSimMatch::WriteRegister(375), TSimAction::Exception(4), 2);
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
    Run([this] { Win().WriteButtonClick(); });
    EXPECT_EQ(Prompts.Texts(), QStringList{QStringLiteral("Нет ответа")});
    EXPECT_EQ(Sim->RequestFrames().size(), 2U);
    EXPECT_TRUE(Panel("Panel2")->isHidden());
    // The second attempt comes 50 ms after the first one's own waits.
    const std::string address = "write register 375 = 7";
    EXPECT_EQ(Line->Journal, (TJournal{address, Wait(50), Wait(10), Wait(50), address, Wait(50), Wait(10)}));

    // Slot 2 refused once (written on the retry); slot 4 answered with a bad checksum twice: the write
    // stops there, with the slots before it written and the progress panel left up.
    Sim->ClearLog();
    Prompts.Shown.clear();
    Sim->AddRule(TSimMatch::WriteSlot(2), TSimAction::Exception(4));
    Sim->AddRule(TSimMatch::WriteSlot(4), TSimAction::BadChecksum(), 2);
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
    Run([this] { Win().WriteButtonClick(); });
    EXPECT_EQ(Prompts.Texts(), QStringList{QStringLiteral("Нет ответа")});
    const std::vector<TSimBytes> frames = Sim->RequestFrames();
    ASSERT_EQ(frames.size(), 7U);
    EXPECT_EQ(RegisterOf(frames[0]), 375);
    EXPECT_TRUE(IsSlotWrite(frames[1], 1));
    EXPECT_TRUE(IsSlotWrite(frames[2], 2) && IsSlotWrite(frames[3], 2));
    EXPECT_TRUE(IsSlotWrite(frames[4], 3));
    EXPECT_TRUE(IsSlotWrite(frames[5], 4) && IsSlotWrite(frames[6], 4));
    EXPECT_EQ(Sim->Slot(2), EncodeSimFloat(1.25));
    EXPECT_EQ(Sim->Slot(3), EncodeSimFloat(4.0));
    EXPECT_EQ(Sim->Slot(5), EncodeSimFloat(185.0)); // not reached
    EXPECT_FALSE(Panel("Panel2")->isHidden());
    EXPECT_EQ(ProgressValues, (std::vector<int>{6, 12, 18}));
}

TEST_F(LimitsWindowTest, OtherDeviceCommandsAreRefusedWhileAReadRuns) {
    Win().show();
    Win().setEnabled(true);
    bool checked = false;
    std::size_t requestsBefore = 0, requestsAfter = 0;
    // In the middle of the read, between two slots.
    QObject::connect(Progress(), &QProgressBar::valueChanged, [&](int value) {
        if (checked || value != 18) {
            return;
        }
        checked = true;
        EXPECT_FALSE(Button("ReadButton")->isEnabled());
        EXPECT_FALSE(Button("IschodButton")->isEnabled());
        EXPECT_FALSE(Program->Rq7Form->N4()->isEnabled());
        EXPECT_FALSE(Program->Rq7Form->N5()->isEnabled());
        // Given anyway, every one of them returns at once.
        requestsBefore = Line->Journal.size();
        Win().ReadButtonClick();
        Win().WriteButtonClick();
        Win().N4Click();
        Program->Rq7Form->N4Click();
        requestsAfter = Line->Journal.size();
    });
    Button("ReadButton")->click();

    EXPECT_TRUE(checked);
    EXPECT_EQ(requestsAfter, requestsBefore);
    EXPECT_TRUE(Prompts.Shown.empty()); // no password dialog, no message
    EXPECT_EQ(Sim->RequestFrames().size(), 17U);
    EXPECT_TRUE(Button("ReadButton")->isEnabled());
    EXPECT_TRUE(Program->Rq7Form->N4()->isEnabled());
    EXPECT_FALSE(Program->Exchange->Busy());
}

} // namespace

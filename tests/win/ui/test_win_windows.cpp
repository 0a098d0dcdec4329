// The windows on Windows itself, run from a copy of the program's folder (scripts/windows-e2e.sh):
// the program's application object with the style and the Russian texts it finds there, a message
// box of three lines separated by bare carriage returns, and a coefficient file in a folder whose
// name the ANSI code page cannot spell.

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>

#include "coef/CoefBlock.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "record/RecordStore.h"
#include "support/ScriptedPrompts.h"
#include "ui/MessageClock.h"
#include "ui/Prompts.h"
#include "ui/Rq7Application.h"
#include "ui/Rq7Program.h"
#include "ui/TechKoefUnit.h"

namespace {

TEST(WindowsProgramFolder, TheWindowsStyleAndRussianStandardButtons) {
    // The style plugin beside the program is found and used.
    EXPECT_EQ(QApplication::style()->name(), "windowsvista");
    QMessageBox box(QMessageBox::Question, QStringLiteral("rq7"), QStringLiteral("?"),
                    QMessageBox::Yes | QMessageBox::No);
    ASSERT_NE(box.button(QMessageBox::Yes), nullptr);
    ASSERT_NE(box.button(QMessageBox::No), nullptr);
    EXPECT_EQ(box.button(QMessageBox::Yes)->text().remove(QLatin1Char('&')), "Да");
    EXPECT_EQ(box.button(QMessageBox::No)->text().remove(QLatin1Char('&')), "Нет");
}

TEST(WindowsMessageBox, ThePortFailureTextShowsItsThreeLines) {
    const QStringList lines{QStringLiteral("Вероятно, выполняется другая программа,"),
                            QStringLiteral("открывшая порт COM1. Закройте программу,"),
                            QStringLiteral("захватившую порт, или укажите другой порт.")};
    auto box = NewMessageBox(QMessageBox::Critical, QStringLiteral("Неудача при открытии порта"),
                             lines.join(QLatin1Char('\r')), QMessageBox::Ok);
    auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    ASSERT_NE(label, nullptr);
    box->show();
    QApplication::processEvents();
    // As the label draws its text with this style: unbounded in width, broken only where the text is.
    const QFontMetrics metrics(label->font());
    const QRect drawn = metrics.boundingRect(
        QRect(0, 0, 100000, 100000), static_cast<int>(label->alignment()) | Qt::TextWordWrap, label->text());
    EXPECT_EQ(drawn.height() / metrics.lineSpacing(), 3);
    int widest = 0;
    for (const QString& line : lines) {
        widest = std::max(widest, metrics.horizontalAdvance(line));
    }
    EXPECT_EQ(drawn.width(), widest);
    // And the label is tall enough for them.
    EXPECT_GE(label->height(), 3 * metrics.lineSpacing());
    box->hide();
}

class WindowsCoefficientFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        Program = std::make_unique<TRq7Program>(Prompts);
        Program->Create();
    }
    QTemporaryDir Dir;
    TScriptedPrompts Prompts;
    std::unique_ptr<TRq7Program> Program;
};

TEST_F(WindowsCoefficientFile, LoadsFromAFolderWithCyrillicLetters) {
    const QString folder = Dir.filePath(QStringLiteral("Иван/Коэффициенты"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/заводской №7.dat");
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(
            "3\r\n05/04/2013(06:07:08)\r\n0101007\r\n1010\r\n630\r\n16\r\n4\r\n85\r\n-40\r\n16\r\n4\r\n"
            "200\r\n1.5\r\n16\r\n4\r\n");
    }
    TTehForm& teh = *Program->TehForm;
    teh.show();
    teh.setEnabled(true);
    Prompts.OpenFileAnswers = {path};
    teh.ReadFileButtonClick();
    EXPECT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(QStringLiteral(" | ")).toStdString();
    auto* address = teh.findChild<QLineEdit*>(QStringLiteral("AdrEdit"));
    auto* factory = teh.findChild<QLineEdit*>(QStringLiteral("ZavodEdit"));
    auto* first = teh.findChild<QLineEdit*>(QStringLiteral("KoefEdit1"));
    ASSERT_NE(address, nullptr);
    ASSERT_NE(factory, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(address->text(), "3");
    EXPECT_EQ(factory->text(), "0101007");
    EXPECT_EQ(first->text(), "1010");
    teh.hide();
}

// The program's clock on Windows waits for the window messages and its own timer together.
TEST(WindowsMessageClock, HasAPreciseTimerBeforeTheFirstWait) {
    TQtMessageClock clock;
    const TTimerPrecision precision = clock.Precision();
    EXPECT_TRUE(precision == TTimerPrecision::HighResolutionTimer ||
                precision == TTimerPrecision::OneMillisecondPeriod)
        << "the waits end by " << TimerPrecisionText(precision);
}

TEST(WindowsMessageClock, AWaitHandlesTheClicksThatComeWhileItWaits) {
    QPushButton button(QStringLiteral("B"));
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] { ++clicks; });
    TQtMessageClock clock;
    // A click posted before the wait is handled by it.
    QTimer::singleShot(0, &button, [&] { button.click(); });
    TQuorbDataModule dataModule;
    TCoefBlock block;
    TModbusExchange exchange(dataModule, block, clock);
    const auto start = clock.Now();
    exchange.DelayWithMessages(20);
    EXPECT_GT(clock.Now() - start, std::chrono::milliseconds(20));
    EXPECT_EQ(clicks, 1);
    // A timer's message that comes while the wait sleeps, its end minutes away, wakes it: a wait deaf
    // to the messages would hold this test until its time limit.
    QTimer::singleShot(20, &button, [&] { button.click(); });
    const TMessageClock::TTime until = clock.Now() + std::chrono::minutes(5);
    while (clicks == 1 && clock.Now() < until) {
        clock.WaitForMessages(until);
    }
    EXPECT_EQ(clicks, 2);
}

TEST(WindowsRecordStore, AppendsAndReadsBackInAFolderWithCyrillicLetters) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // The store and its folders made where the user's name or folder holds Cyrillic letters.
    const std::string path =
        QDir::toNativeSeparators(dir.filePath(QStringLiteral("Журнал/rq7/rq7-history.sqlite"))).toStdString();
    TServiceRecord record = NewRecord(TRecordOperation::Write, "rq7 0.1.0", "COM1", "Иванов И. И.");
    record.FactoryNumber = 101001;
    TCoefImageBytes image{};
    image[4] = 0xab;
    record.AsFound = AsFoundOf(image, true, RecordTimeNow());
    record.Outcome = {std::nullopt, kOutcomeBegun};
    {
        TRecordStore store(path);
        EXPECT_EQ(store.Append(record), 1);
        record.Outcome = {0, "Записано"};
        EXPECT_EQ(store.Append(record), 2);
    }
    TRecordStore store(path);
    const auto history = store.List({101001, "", 0});
    ASSERT_EQ(history.size(), 2U);
    EXPECT_EQ(history[0].Outcome.Message, "Записано");
    EXPECT_EQ(history[1].Outcome.Message, kOutcomeBegun);
    EXPECT_EQ(history[0].AsFound->Slots[0][0], 0xab);
    EXPECT_NE(history[0].User.find(" (Иванов И. И.)"), std::string::npos);
    EXPECT_FALSE(history[0].Station.empty());
    EXPECT_TRUE(store.Check().empty());
    EXPECT_NE(TRecordStore::DefaultPath().find("\\rq7\\rq7-history.sqlite"), std::string::npos)
        << TRecordStore::DefaultPath();
}

} // namespace

int main(int argc, char** argv) {
    TRq7Application app(argc, argv);
    app.setApplicationName(ApplicationTitle());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

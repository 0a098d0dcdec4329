// Commands that must not act: the commands of both coefficient windows while a device sequence runs
// (pressed, queued or called directly from inside the sequence), and the technological write without
// this showing's password and confirmation. Against the adapter simulator, through real widgets.

#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <ostream>

#include "support/Files.h"
#include "support/TechFixture.h"
#include "ui/KoefPotrebUnit.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kValueEditNames[12] = {"KoefEdit1", "KoefEdit2", "KoefEdit3", "KoefEdit4",
                                             "Edit21",    "Edit22",    "Edit23",    "Edit24",
                                             "Edit31",    "Edit32",    "Edit33",    "Edit34"};

// A click posted to the button, delivered by the next pass of the message loop.
void QueueClick(QAbstractButton* button) {
    QMetaObject::invokeMethod(button, "click", Qt::QueuedConnection);
}

class CommandSafety : public TTechFixture {
protected:
    void SetUp() override {
        TTechFixture::SetUp();
        // A block whose every value differs from the initial values and from the file below.
        const double values[12] = {501.25, 12.5, 15.875, 4.125, 175.5, 90.0,
                                   16.25,  3.75, 321.0,  -7.5,  15.5,  4.5};
        for (int k = 1; k <= 12; ++k) {
            Sim->SetSlot(k, EncodeSimFloat(values[k - 1]));
        }
        Sim->SealImage();
        // A coefficient file of other values again, for the load command.
        WriteFileBytes(
            CoefFile.toStdString(),
            "9\r\n01/02/2003(04:05:06)\r\n0777777\r\n1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n10\r\n11"
            "\r\n12\r\n");
    }

    // The texts of the fourteen controls the read, the load and the initial values set, and DataLabel.
    QStringList ControlTexts() {
        QStringList texts{Edit("AdrEdit")->text(), Label("DataLabel")->text(), Edit("ZavodEdit")->text()};
        for (const char* name : kValueEditNames) {
            texts << Edit(name)->text();
        }
        return texts;
    }

    // Runs probe(value) whenever the progress bar of the window takes a new value.
    void ProbeProgress(QProgressBar* bar, std::function<void(int)> probe) {
        QObject::connect(bar, &QProgressBar::valueChanged, bar, std::move(probe));
    }

    // Prompts of a kind shown so far.
    int Count(TPromptRecord::Kind kind) const {
        int n = 0;
        for (const auto& shown : Prompts.Shown) {
            n += shown.kind == kind ? 1 : 0;
        }
        return n;
    }

    // What the load and the initial values buttons are given from inside a running sequence: at 25 % a
    // real mouse click on each, and a click queued to be delivered by the sequence's next wait; at 50 %
    // a direct call of each handler. Records at each point whether the buttons were disabled and
    // whether anything changed.
    void PressLoadAndInitialValuesAt25And50() {
        ProbeProgress(Progress(), [this](int value) {
            if (value != 25 && value != 31 && value != 50) {
                return;
            }
            const int openBefore = Count(TPromptRecord::OpenFile);
            QStringList before = ControlTexts();
            if (value == 25) {
                ButtonsDisabled =
                    !Button("NachButton")->isEnabled() && !Button("ReadFileButton")->isEnabled();
                QTest::mouseClick(Button("NachButton"), Qt::LeftButton);
                QTest::mouseClick(Button("ReadFileButton"), Qt::LeftButton);
            } else if (value == 31) {
                // The clicks queued at 25 % were delivered by the wait after slot 4; since then the
                // sequence itself changed only Edit21 (slot 5, when reading).
                before = QueuedSnapshot;
                before[7] = ControlTexts()[7];
            } else {
                Teh().NachButtonClick();
                Teh().ReadFileButtonClick();
            }
            Probes[value] = {ControlTexts() == before,
                             Count(TPromptRecord::OpenFile) == (value == 31 ? QueuedOpenCount : openBefore)};
            if (value == 25) {
                QueueClick(Button("NachButton"));
                QueueClick(Button("ReadFileButton"));
                QueuedSnapshot = ControlTexts();
                QueuedOpenCount = Count(TPromptRecord::OpenFile);
            }
        });
    }

    struct TProbe {
        bool ControlsKept = false;
        bool NoOpenDialog = false;
    };
    void ExpectEveryProbeRefused() {
        for (const int value : {25, 31, 50}) {
            ASSERT_EQ(Probes.count(value), 1u) << "no probe at " << value;
            EXPECT_TRUE(Probes[value].ControlsKept) << "the controls changed at " << value << " %";
            EXPECT_TRUE(Probes[value].NoOpenDialog) << "a file dialog opened at " << value << " %";
        }
        EXPECT_TRUE(ButtonsDisabled);
        EXPECT_EQ(Count(TPromptRecord::OpenFile), 0);
    }

    const QString CoefFile = QDir(Dir.path()).filePath(QStringLiteral("other.dat"));
    std::map<int, TProbe> Probes;
    bool ButtonsDisabled = false;
    QStringList QueuedSnapshot;
    int QueuedOpenCount = 0;
};

// The controls after a complete read of the fixture's block, as a read without any click leaves them.
const QStringList kReadTexts = {"1",       "14:5  3.7.2012", "0101001", "501.25",  "12.50",
                                "15.8750", "4.1250",         "75.50",   "-10.00",  "16.2500",
                                "3.7500",  "321.00",         "-7.50",   "15.5000", "4.5000"};

TEST_F(CommandSafety, LoadAndInitialValuesAreRefusedDuringATechnologicalRead) {
    Teh().show();
    Teh().setEnabled(true);
    // Answers the load would take if it ran.
    Prompts.OpenFileAnswers = {CoefFile, CoefFile, CoefFile, CoefFile};
    PressLoadAndInitialValuesAt25And50();

    Button("ReadButton")->click();

    ExpectEveryProbeRefused();
    EXPECT_EQ(ControlTexts(), kReadTexts);
    EXPECT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(" | ").toStdString();
    EXPECT_EQ(Sim->RequestFrames().size(), 17u);
    EXPECT_TRUE(Button("WriteButton")->isEnabled());
    // Usable again once the read has ended.
    EXPECT_TRUE(Button("NachButton")->isEnabled());
    EXPECT_TRUE(Button("ReadFileButton")->isEnabled());
}

TEST_F(CommandSafety, LoadAndInitialValuesAreRefusedDuringTheOpeningRead) {
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
    Prompts.OpenFileAnswers = {CoefFile, CoefFile, CoefFile, CoefFile};
    // The window is still disabled during its first read: only the direct calls can reach it.
    ProbeProgress(Progress(), [this](int value) {
        if (value == 50) {
            Teh().NachButtonClick();
            Teh().ReadFileButtonClick();
        }
    });

    Program->Rq7Form->N5()->trigger();

    EXPECT_EQ(ControlTexts(), kReadTexts);
    EXPECT_EQ(Count(TPromptRecord::OpenFile), 0);
    EXPECT_TRUE(Teh().isEnabled());
}

TEST_F(CommandSafety, LoadAndInitialValuesAreRefusedDuringATechnologicalWrite) {
    Teh().show();
    Teh().setEnabled(true);
    Teh().NachButtonClick();
    Edit("KoefEdit1")->setText(QStringLiteral("777.5"));
    Edit("Edit34")->setText(QStringLiteral("3.5"));
    const QStringList written = ControlTexts();
    Prompts.YesNoAnswers = {false, true};
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Trimel")));
    Prompts.OpenFileAnswers = {CoefFile, CoefFile, CoefFile, CoefFile};
    PressLoadAndInitialValuesAt25And50();

    Button("WriteButton")->click();

    ExpectEveryProbeRefused();
    // The window still shows what was written, and the adapter holds all of it.
    EXPECT_EQ(ControlTexts(), written);
    EXPECT_EQ(Prompts.Texts(),
              (QStringList{"Сохранить данные на диске?", "Пароль введен верно. Будем программировать?"}));
    EXPECT_EQ(Sim->RequestFrames().size(), 16u);
    const TSimImage adapter = Sim->Image();
    const TCoefImageBytes& built = Program->CoefBlock.CoefImage;
    EXPECT_TRUE(std::equal(adapter.begin() + 4, adapter.end(), built.begin() + 4));
    EXPECT_EQ(Sim->Slot(1), EncodeSimFloat(777.5));
    EXPECT_EQ(Sim->Slot(12), EncodeSimFloat(3.5));
    EXPECT_FALSE(Panel1()->isVisible());
}

TEST_F(CommandSafety, RestoreIsRefusedDuringALimitsRead) {
    TKoefForPotreb& limits = *Program->KoefForPotreb;
    limits.show();
    limits.setEnabled(true);
    // Limits kept from an earlier opening, all unlike the adapter's.
    WriteFileBytes(QDir(Dir.path()).filePath("tmp.dat").toStdString(),
                   "1.00\r\n2.00\r\n3.00\r\n4.00\r\n5.00\r\n6.00\r\n");
    auto find = [&](const char* name) { return limits.findChild<QWidget*>(QString::fromLatin1(name)); };
    auto limitTexts = [&] {
        QStringList texts;
        for (const char* name : {"Canal1_20", "Canal1_4", "Canal2_20", "Canal2_4", "Canal3_20", "Canal3_4"}) {
            texts << static_cast<QLineEdit*>(find(name))->text();
        }
        return texts;
    };
    auto* restore = static_cast<QPushButton*>(find("IschodButton"));
    bool restoreDisabled = false;
    std::map<int, bool> kept;
    QStringList queuedSnapshot;
    ProbeProgress(static_cast<QProgressBar*>(find("ProgressBar1")), [&](int value) {
        if (value == 50) {
            const QStringList before = limitTexts();
            restoreDisabled = !restore->isEnabled();
            QTest::mouseClick(restore, Qt::LeftButton);
            limits.IschodButtonClick();
            kept[50] = limitTexts() == before;
            QueueClick(restore);
            queuedSnapshot = limitTexts();
        } else if (value == 56) {
            // The click queued at 50 % was delivered by the wait after slot 8; since then the read
            // changed only Canal3_20 (slot 9).
            QStringList expected = queuedSnapshot;
            expected[4] = limitTexts()[4];
            kept[56] = limitTexts() == expected;
        }
    });

    static_cast<QPushButton*>(find("ReadButton"))->click();

    EXPECT_TRUE(restoreDisabled);
    EXPECT_TRUE(kept[50]) << "restored during the read";
    EXPECT_TRUE(kept[56]) << "restored by the queued click";
    EXPECT_EQ(limitTexts(), (QStringList{"501.25", "12.50", "75.50", "-10.00", "321.00", "-7.50"}));
    EXPECT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(" | ").toStdString();
    EXPECT_TRUE(restore->isEnabled());
    // After the read the restore works as before.
    restore->click();
    EXPECT_EQ(limitTexts(), (QStringList{"1.00", "2.00", "3.00", "4.00", "5.00", "6.00"}));
}

// ---------------------------------------------------------------------------------------------
// The exit while a device command runs

enum class TExitWay { MenuExit, CloseButton, ApplicationQuit };

void PrintTo(TExitWay way, std::ostream* os) {
    const char* const names[] = {"MenuExit", "CloseButton", "ApplicationQuit"};
    *os << names[static_cast<int>(way)];
}

// Runs a function when the message loop next delivers the events posted so far, as a click is.
class TQueuedCall : public QObject {
public:
    explicit TQueuedCall(std::function<void()> call) : call_(std::move(call)) {}
    void Post() { QCoreApplication::postEvent(this, new QEvent(QEvent::User)); }

protected:
    bool event(QEvent* event) override {
        if (event->type() != QEvent::User) {
            return QObject::event(event);
        }
        call_();
        return true;
    }

private:
    std::function<void()> call_;
};

class ExitDuringACommand : public CommandSafety, public testing::WithParamInterface<TExitWay> {
protected:
    // Asks the program to end, delivered by the running command's next wait as a click would be.
    void QueueExit(TExitWay way) {
        ExitRequest = std::make_unique<TQueuedCall>([this, way] {
            ExitAsked = true;
            switch (way) {
            case TExitWay::MenuExit:
                Program->Rq7Form->N6()->trigger();
                break;
            case TExitWay::CloseButton:
                Program->Rq7Form->windowHandle()->close();
                break;
            case TExitWay::ApplicationQuit: {
                // As the system asks it (the session ends, the platform's quit).
                QEvent quitRequest(QEvent::Quit);
                QCoreApplication::sendEvent(QCoreApplication::instance(), &quitRequest);
                break;
            }
            }
        });
        ExitRequest->Post();
    }

    // The program's message loop, started with a click on the button; its exit code, or 99 when it does
    // not end within half a minute.
    static int RunProgramFrom(QAbstractButton* button) {
        QueueClick(button);
        QTimer hangGuard;
        hangGuard.setSingleShot(true);
        QObject::connect(&hangGuard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        hangGuard.start(30000);
        return QApplication::exec();
    }

    // A technological write of changed values, answered: no save, the right password, Yes. The limits
    // window is open beside it.
    void PrepareTechnologicalWrite() {
        Program->Rq7Form->show();
        Program->KoefForPotreb->show();
        Teh().show();
        Teh().setEnabled(true);
        Teh().NachButtonClick();
        Edit("KoefEdit1")->setText(QStringLiteral("777.5"));
        Prompts.YesNoAnswers = {false, true};
        Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Trimel")));
    }

    std::unique_ptr<TQueuedCall> ExitRequest;
    bool ExitAsked = false;
};

TEST_P(ExitDuringACommand, WaitsForTheWriteWithTheWindowsUpThenEndsTheProgram) {
    PrepareTechnologicalWrite();
    int checks = 0;
    bool allUp = true;
    ProbeProgress(Progress(), [&](int value) {
        if (value == 50) {
            QueueExit(GetParam());
        } else if (ExitAsked) {
            ++checks;
            allUp = allUp && Program->Rq7Form->isVisible() && Program->KoefForPotreb->isVisible() &&
                    Teh().isVisible() && Panel1()->isVisible();
        }
    });

    EXPECT_EQ(RunProgramFrom(Button("WriteButton")), 0) << "the program did not end";

    EXPECT_TRUE(ExitAsked);
    EXPECT_EQ(checks, 8) << "the write did not go on after the exit was asked";
    EXPECT_TRUE(allUp) << "a window went away while the write went on";
    // The whole block reached the adapter, and then the program ended.
    EXPECT_EQ(Sim->RequestFrames().size(), 16u);
    EXPECT_EQ(Sim->Slot(1), EncodeSimFloat(777.5));
    EXPECT_FALSE(Program->Rq7Form->isVisible());
    EXPECT_FALSE(Program->Exchange->Busy());
    EXPECT_EQ(Prompts.Texts(),
              (QStringList{"Сохранить данные на диске?", "Пароль введен верно. Будем программировать?"}));
}

INSTANTIATE_TEST_SUITE_P(EveryWayOut, ExitDuringACommand,
                         testing::Values(TExitWay::MenuExit, TExitWay::CloseButton,
                                         TExitWay::ApplicationQuit));

TEST_F(ExitDuringACommand, EndsOnlyAfterTheFailedCommandsErrorReportIsAnswered) {
    PrepareTechnologicalWrite();
    ProbeProgress(Progress(), [&](int value) {
        if (value == 25) {
            QueueExit(TExitWay::MenuExit);
        } else if (value == 50) {
            // The line goes away: the next slot write fails and the write ends in the error report.
            Program->QuorbDataModule->ComPort.ClosePort();
        }
    });
    // The error report is a modal box the user has to answer; everything stays up until then.
    bool upWhileReportOpen = false;
    Prompts.OnShow = [&](const TPromptRecord& shown) {
        if (shown.kind != TPromptRecord::Error) {
            return;
        }
        QDialog report;
        report.setWindowModality(Qt::ApplicationModal);
        report.show();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        upWhileReportOpen = Program->Rq7Form->isVisible() && Teh().isVisible() && report.isVisible();
        report.close();
    };

    EXPECT_EQ(RunProgramFrom(Button("WriteButton")), 0) << "the program did not end";

    EXPECT_TRUE(ExitAsked);
    ASSERT_FALSE(Prompts.Shown.empty());
    EXPECT_EQ(Prompts.Shown.back().text, QStringLiteral("WriteFile function failed (win error code: 6)"));
    EXPECT_TRUE(upWhileReportOpen) << "the program ended under the open error report";
    EXPECT_EQ(Sim->RequestFrames().size(), 8u);
    EXPECT_FALSE(Program->Rq7Form->isVisible());
}

// ---------------------------------------------------------------------------------------------
// The technological write's confirmation

TEST_F(CommandSafety, TechnologicalWriteNeedsOkAndYesInThisShowing) {
    Teh().show();
    Teh().setEnabled(true);
    Teh().NachButtonClick();
    // One confirmed write.
    Prompts.YesNoAnswers = {false, true};
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Trimel")));
    Button("WriteButton")->click();
    ASSERT_EQ(Sim->RequestFrames().size(), 16u);
    ASSERT_EQ(Pasw().ProgramConfirmed, 1);

    // The right password typed, then the dialog closed by its close button: no check, no question, no
    // write. So too after Escape, which leaves the dialog open.
    for (const bool escapeFirst : {false, true}) {
        Prompts.Shown.clear();
        Prompts.YesNoAnswers = {false};
        Prompts.DialogHandlers.push_back([escapeFirst](QDialog& dialog) {
            auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("PaswKoefEdit"));
            ASSERT_NE(edit, nullptr);
            QTest::keyClicks(edit, QStringLiteral("Trimel"));
            if (escapeFirst) {
                QTest::keyClick(edit, Qt::Key_Escape);
                EXPECT_TRUE(dialog.isVisible());
            }
            dialog.close();
        });
        Button("WriteButton")->click();
        EXPECT_EQ(Prompts.Texts(), QStringList{"Сохранить данные на диске?"}) << escapeFirst;
        EXPECT_FALSE(Sim->WaitForRequests(17, 200ms)) << "written without this showing's confirmation";
        EXPECT_FALSE(Panel1()->isVisible());
    }

    // The right password with OK but No to programming writes nothing either.
    Prompts.Shown.clear();
    Prompts.YesNoAnswers = {false, false};
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Trimel")));
    Button("WriteButton")->click();
    EXPECT_EQ(Pasw().ProgramConfirmed, 0);
    EXPECT_FALSE(Sim->WaitForRequests(17, 200ms));
    EXPECT_EQ(Sim->RequestFrames().size(), 16u);
}

} // namespace

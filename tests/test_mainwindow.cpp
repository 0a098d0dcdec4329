// Start-up, the main window, the port opening, the additional mode and the general error report.

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "coef/Errors.h"
#include "link/ComPort.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "sim/Simulator.h"
#include "support/ScriptedPrompts.h"
#include "ui/ErrorReport.h"
#include "ui/KoefPotrebUnit.h"
#include "ui/PaswKoefUnit.h"
#include "ui/Rq7Program.h"
#include "ui/Rq7Unit.h"
#include "ui/TavixCPortSetup.h"
#include "ui/TechKoefUnit.h"

using Bytes = std::vector<std::uint8_t>;

namespace {
struct MainWindowFixture : testing::Test {
    TAdapterSimulator Sim;
    TScriptedPrompts Prompts;
    TRq7Program Program{Prompts};

    void SetUp() override {
        Program.Create();
        Program.QuorbDataModule->ComPort.SetPort(Sim.DevicePath());
    }
    TComPort& Port() { return Program.QuorbDataModule->ComPort; }
};
} // namespace

TEST_F(MainWindowFixture, StartUpCreatesEveryWindowHiddenAndOpensThePortOnlyWhenTheMainWindowShows) {
    // What the creation order is for: every window exists, hidden, before the port is first opened.
    EXPECT_FALSE(Program.Rq7Form->isVisible());
    EXPECT_FALSE(Program.TavixComSetupFrm->isVisible());
    EXPECT_FALSE(Program.KoefForPotreb->isVisible());
    EXPECT_FALSE(Program.PaswKoefForm->isVisible());
    EXPECT_FALSE(Program.TehForm->isVisible());
    EXPECT_FALSE(Program.KoefForPotreb->isEnabled());
    EXPECT_FALSE(Program.TehForm->isEnabled());
    EXPECT_FALSE(Port().Connected());
    EXPECT_TRUE(Port().Events() == TComEvents{});
    EXPECT_EQ(Port().FlowControl().ControlDTR(), dtrDisable);

    Program.Rq7Form->show();
    EXPECT_TRUE(Port().Connected());
    EXPECT_TRUE(Port().Events().Empty());
    EXPECT_EQ(Port().FlowControl().ControlDTR(), dtrEnable);
    EXPECT_EQ(Port().FlowControl().ControlRTS(), rtsEnable);
    EXPECT_EQ(Port().FlowControl().FlowControl(), fcCustom);
    ASSERT_NE(Program.QuorbDataModule->StopEvent, nullptr);
    EXPECT_TRUE(Prompts.Shown.empty());

    // Opening again while open changes nothing, not even the stop event.
    const TStopEvent* stop = Program.QuorbDataModule->StopEvent.get();
    Port().FlowControl().SetControlRTS(rtsDisable);
    Program.Rq7Form->OpenComport();
    EXPECT_EQ(Program.QuorbDataModule->StopEvent.get(), stop);
    EXPECT_EQ(Port().FlowControl().ControlRTS(), rtsDisable);
}

TEST_F(MainWindowFixture, WindowAndMenuLookAsDesigned) {
    TRq7Form& form = *Program.Rq7Form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Работа с RQ7"));
    EXPECT_EQ(form.geometry().size(), QSize(416, 271));
    EXPECT_EQ(form.pos(), QPoint(461, 294));
    EXPECT_EQ(form.N1()->title(), QStringLiteral("Настройки"));
    EXPECT_EQ(form.N2()->text(), QStringLiteral("Настройка порта"));
    EXPECT_EQ(form.N3()->title(), QStringLiteral("Режим работы"));
    EXPECT_EQ(form.N4()->text(), QStringLiteral("Изм.границ пар-ров"));
    EXPECT_EQ(form.N7()->text(), QStringLiteral("Доп.режим"));
    EXPECT_EQ(form.N5()->text(), QStringLiteral("Технолог.режим"));
    EXPECT_EQ(form.N6()->text(), QStringLiteral("Выход"));
    EXPECT_EQ(form.N8()->text(), QStringLiteral("Журнал"));
    const auto top = form.menuBar()->actions();
    ASSERT_EQ(top.size(), 3);
    EXPECT_EQ(top[0], form.N1()->menuAction());
    EXPECT_EQ(top[1], form.N3()->menuAction());
    EXPECT_EQ(top[2], form.N6());
    EXPECT_EQ(form.N1()->actions(), (QList<QAction*>{form.N2()}));
    // The journal at the end; the items before it, their order and keys as they were.
    EXPECT_EQ(form.N3()->actions(), (QList<QAction*>{form.N4(), form.N7(), form.N5(), form.N8()}));
}

TEST_F(MainWindowFixture, APortHeldByAnotherProgramGivesTheThreeLineBoxAndLaterCommandsReportThePortError) {
    TComPort other;
    other.SetPort(Sim.DevicePath());
    other.OpenPort();
    Program.Rq7Form->show();
    EXPECT_FALSE(Port().Connected());
    ASSERT_EQ(Prompts.Shown.size(), 1u);
    EXPECT_EQ(Prompts.Shown[0].kind, TPromptRecord::Error);
    EXPECT_EQ(Prompts.Shown[0].title, QStringLiteral("Неудача при открытии порта"));
    EXPECT_EQ(Prompts.Shown[0].text,
              QStringLiteral("Вероятно, выполняется другая программа,\rоткрывшая порт ") +
                  QString::fromStdString(Sim.DevicePath()) +
                  QStringLiteral(". Закройте программу,\rзахватившую порт, или укажите другой порт."));

    // The program goes on; the additional mode reports the port's failure through the error report.
    Program.Rq7Form->N7()->trigger();
    ASSERT_EQ(Prompts.Shown.size(), 2u);
    EXPECT_EQ(Prompts.Shown[1].kind, TPromptRecord::Error);
    EXPECT_EQ(Prompts.Shown[1].title, ApplicationTitle());
    EXPECT_EQ(Prompts.Shown[1].text, QStringLiteral("WriteFile function failed (win error code: 6)"))
        << "')' sorts below '.', so no full stop is added";
    EXPECT_FALSE(Program.Exchange->Busy()) << "a failed command must release the exchange";
}

TEST_F(MainWindowFixture, AdditionalModeSucceedsOnTheEchoOfTheSwitchRequest) {
    Program.Rq7Form->show();
    Program.Rq7Form->N7()->trigger();
    EXPECT_EQ(Sim.RequestFrames(), (std::vector<Bytes>{{0x00, 0x06, 0x01, 0x75, 0x00, 0x01, 0x59, 0xFD}}));
    EXPECT_TRUE(Sim.TranslationMode());
    EXPECT_EQ(Program.Exchange->ExchangeState, 8);
    EXPECT_EQ(Prompts.Texts(),
              QStringList{QStringLiteral("Адаптер переведен в режим побайтовой трансляции")});
    EXPECT_EQ(Prompts.Shown[0].kind, TPromptRecord::Message);
}

TEST_F(MainWindowFixture, AdditionalModeAsksToRetryOnSilenceOnAnExceptionReplyAndOnABadChecksum) {
    Program.Rq7Form->show();
    Sim.AddRule(TSimMatch::WriteRegister(373), TSimAction::Silent());
    Sim.AddRule(TSimMatch::WriteRegister(373), TSimAction::Exception(2));
    Sim.AddRule(TSimMatch::WriteRegister(373), TSimAction::BadChecksum());
    for (int i = 0; i < 3; ++i) {
        Program.Rq7Form->N7()->trigger();
    }
    EXPECT_EQ(Prompts.Texts(),
              (QStringList{QStringLiteral("Попробуйте повторить"), QStringLiteral("Попробуйте повторить"),
                           QStringLiteral("Попробуйте повторить")}));
    EXPECT_EQ(Sim.RequestFrames().size(), 3u);
}

TEST_F(MainWindowFixture, AdditionalModeTakesNoFrameLeftOnTheLineForTheAdaptersAnswer) {
    Program.Rq7Form->show();
    // A complete echo of the switch request is waiting from earlier; the adapter does not answer now.
    const Bytes echo{0x01, 0x06, 0x01, 0x75, 0x00, 0x01, 0x58, 0x2C};
    Sim.SendRaw(echo);
    for (int i = 0; i < 10000 && Port().BytesWaiting() < 8; ++i) {
        QTest::qWait(1);
    }
    ASSERT_EQ(Port().BytesWaiting(), 8);
    Sim.AddRule(TSimMatch::WriteRegister(373), TSimAction::Silent());
    Program.Rq7Form->N7()->trigger();
    EXPECT_EQ(Prompts.Texts(), QStringList{QStringLiteral("Попробуйте повторить")});
    EXPECT_EQ(Port().BytesWaiting(), 0);

    // The next switch is answered: the left-over bytes are gone and the echo counts.
    Program.Rq7Form->N7()->trigger();
    EXPECT_EQ(Prompts.Texts().last(), QStringLiteral("Адаптер переведен в режим побайтовой трансляции"));
}

TEST_F(MainWindowFixture, DeviceCommandsAreRefusedWhileAnotherOneRuns) {
    Program.Rq7Form->show();
    {
        TExchangeGuard running(*Program.Exchange);
        ASSERT_TRUE(running.Acquired());
        EXPECT_FALSE(Program.Rq7Form->N2()->isEnabled());
        EXPECT_FALSE(Program.Rq7Form->N4()->isEnabled());
        EXPECT_FALSE(Program.Rq7Form->N5()->isEnabled());
        EXPECT_FALSE(Program.Rq7Form->N7()->isEnabled());
        EXPECT_TRUE(Program.Rq7Form->N6()->isEnabled());
        Program.Rq7Form->N7Click();
        EXPECT_TRUE(Sim.RequestFrames().empty());
        EXPECT_TRUE(Prompts.Shown.empty());
    }
    EXPECT_TRUE(Program.Rq7Form->N7()->isEnabled());
}

TEST_F(MainWindowFixture, ExitClosesTheMainWindow) {
    Program.Rq7Form->show();
    ASSERT_TRUE(Program.Rq7Form->isVisible());
    Program.Rq7Form->N6()->trigger();
    EXPECT_FALSE(Program.Rq7Form->isVisible());
}

TEST_F(MainWindowFixture, ClosingTheMainWindowEndsTheProgramWhileOtherWindowsAreOpen) {
    Program.Rq7Form->show();
    Program.TehForm->show();
    QTimer::singleShot(0, [this] { Program.Rq7Form->close(); });
    QTimer hangGuard;
    hangGuard.setSingleShot(true);
    QObject::connect(&hangGuard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    hangGuard.start(20000);
    EXPECT_EQ(QApplication::exec(), 0) << "the message loop went on after the main window closed";
    hangGuard.stop();
    Program.TehForm->hide();
}

TEST(GeneralErrorReport, FullStopRule) {
    EXPECT_EQ(ErrorReportText(QStringLiteral("Disk full")), QStringLiteral("Disk full."));
    EXPECT_EQ(ErrorReportText(QStringLiteral("Ends with a stop.")), QStringLiteral("Ends with a stop."));
    EXPECT_EQ(ErrorReportText(QString()), QString());
    EXPECT_EQ(ErrorReportText(QStringLiteral("Done!")), QStringLiteral("Done!")) << "'!' sorts below '.'";
    EXPECT_EQ(ErrorReportText(QStringLiteral("code (5)")), QStringLiteral("code (5)"))
        << "')' sorts below '.'";
    EXPECT_EQ(ErrorReportText(QStringLiteral("Ошибка")), QStringLiteral("Ошибка."));
    EXPECT_EQ(ErrorReportText(QStringLiteral("a/")), QStringLiteral("a/.")) << "'/' sorts above '.'";
}

TEST(GeneralErrorReport, StartupErrorNamesTheErrorClassAndModule) {
    const QString text = StartupErrorText(EConvertError("'x' is not a valid integer value"),
                                          QStringLiteral("rq7"), reinterpret_cast<const void*>(0x1234));
    EXPECT_TRUE(text.startsWith(QStringLiteral("Exception EConvertError in module rq7 at ")))
        << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral(".\n'x' is not a valid integer value.\n")))
        << text.toStdString();
}

TEST(GeneralErrorReport, StartupErrorAddsAFullStopOnlyWhenTheMessageLacksOne) {
    // Unlike the general report, the start-up box looks only for a full stop: a message that ends in
    // ")" or "!" still gets one.
    const auto messageLine = [](const char* message) {
        const QString text =
            StartupErrorText(ERq7Error(message), QStringLiteral("rq7"), reinterpret_cast<const void*>(0x10));
        const qsizetype lineBreak = text.indexOf(QLatin1Char('\n'));
        return lineBreak < 0 ? text : text.mid(lineBreak + 1);
    };
    EXPECT_EQ(messageLine("Registry error (win error code: 2)"),
              QStringLiteral("Registry error (win error code: 2).\n"));
    EXPECT_EQ(messageLine("Done!"), QStringLiteral("Done!.\n"));
    EXPECT_EQ(messageLine("Ends with a stop."), QStringLiteral("Ends with a stop.\n"));
    EXPECT_EQ(messageLine("Disk full"), QStringLiteral("Disk full.\n"));
}

// A device that goes away in the middle of a command (a USB-serial cable pulled, the simulator's line
// hung up): the command reports the port's error once, the port closes itself, and choosing the same
// port again in "Настройка порта" opens it afresh. Real windows, the real port layer and a simulator
// behind a link in a test device folder, which it keeps leading to its new device after a hang-up.

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "coef/CoefBlock.h"
#include "link/ComPort.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "sim/Simulator.h"
#include "support/Files.h"
#include "support/ScriptedPrompts.h"
#include "support/WatchedLine.h"
#include "ui/ComComboBox.h"
#include "ui/PaswKoefUnit.h"
#include "ui/Rq7Program.h"
#include "ui/Rq7Unit.h"
#include "ui/TavixCPortSetup.h"
#include "ui/TechKoefUnit.h"

namespace {

struct LostDevice : testing::Test {
    TempDir Root;
    std::string Dev = Root / "dev";
    std::string Link = Dev + "/ttyRQ7";
    TAdapterSimulator Sim;
    // The waits end only once the simulator has dealt with everything sent, a hang-up included, so a
    // late simulator thread cannot turn the lost line into a silent adapter.
    TWatchedLine Line{Sim};
    TScriptedPrompts Prompts;
    std::optional<TRq7Program> Program;

    void SetUp() override {
        ASSERT_EQ(std::system(("mkdir -p '" + Dev + "' '" + Root / "sys/class/tty" + "'").c_str()), 0);
        Sim.SetLink(Link);
        Program.emplace(Prompts, TLinkParts{Line.Opener(), &Line.Clock(), {}, {}},
                        TSystemRoots{Root / "sys", Dev, Root / "reg"});
        Program->Create();
        Port().SetPort(Link);
        Program->Rq7Form->show(); // opens the port
        ASSERT_TRUE(Port().Connected());
    }
    void TearDown() override { Program.reset(); }

    TComPort& Port() { return Program->QuorbDataModule->ComPort; }
    TTehForm& Teh() { return *Program->TehForm; }
    template <typename T> T* Find(const char* name) {
        T* widget = Teh().findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    // The error boxes shown so far.
    QStringList Errors() const {
        QStringList texts;
        for (const TPromptRecord& r : Prompts.Shown) {
            if (r.kind == TPromptRecord::Error) {
                texts << r.text;
            }
        }
        return texts;
    }

    // "Настройка порта" with the port list as it opens, and OK. The program may notice the loss of the
    // line before the simulator is back on its new device; a person takes longer than that to get to
    // the dialog, so the test waits for the simulator first.
    void ChooseTheSamePortAgain() {
        ASSERT_TRUE(Sim.WaitForHangUps(1, std::chrono::seconds(10)));
        bool shown = false;
        Prompts.DialogHandlers.push_back([&](QDialog& d) {
            auto& dialog = static_cast<TTavixComSetupFrm&>(d);
            shown = true;
            EXPECT_EQ(dialog.Combo1()->Text().toStdString(), Link);
            dialog.Button1()->click();
        });
        Program->Rq7Form->N2()->trigger();
        EXPECT_TRUE(shown);
    }

    // "Технолог.режим" behind its first password.
    void OpenTechnologicalMode() {
        Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
        Program->Rq7Form->N5()->trigger();
    }
};

} // namespace

TEST_F(LostDevice, ReadThatLosesTheLineReportsOnceAndTheSamePortChosenAgainReadsAgain) {
    Sim.AddRule(TSimMatch::ReadSlot(5), TSimAction::HangUp());
    OpenTechnologicalMode();
    EXPECT_EQ(Prompts.Texts(), QStringList{"ClearCommError function failed (win error code: 1117)"});
    EXPECT_TRUE(Sim.WaitForHangUps(1, std::chrono::seconds(10)));
    EXPECT_EQ(Sim.HangUps(), 1u);
    EXPECT_FALSE(Port().Connected());
    EXPECT_FALSE(Program->Exchange->Busy());
    EXPECT_EQ(Find<QLineEdit>("KoefEdit4")->text(), "3.9876") << "slots before the loss were read";

    ChooseTheSamePortAgain();
    EXPECT_TRUE(Port().Connected());
    EXPECT_EQ(Errors().size(), 1) << Prompts.Texts().join(" | ").toStdString();

    // The next read goes through, on the simulator's new device.
    Sim.ClearLog();
    OpenTechnologicalMode();
    EXPECT_EQ(Errors().size(), 1) << Prompts.Texts().join(" | ").toStdString();
    EXPECT_EQ(Sim.RequestFrames().size(), 17u);
    EXPECT_EQ(Find<QLineEdit>("Edit21")->text(), "85.00");
    EXPECT_EQ(Find<QLineEdit>("ZavodEdit")->text(), "0101001");
    EXPECT_TRUE(Teh().isEnabled());
}

TEST_F(LostDevice, WriteThatLosesTheLineReportsOnceAndTheSamePortChosenAgainWritesTheWholeBlock) {
    Teh().show();
    Teh().setEnabled(true);
    Teh().NachButtonClick();
    Sim.SetImage(TSimImage{});
    Sim.AddRule(TSimMatch::WriteSlot(5), TSimAction::HangUp());
    Prompts.YesNoAnswers = {false, true}; // no saving; programming confirmed
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Trimel")));
    Find<QPushButton>("WriteButton")->click();
    EXPECT_EQ(Errors(), QStringList{"ClearCommError function failed (win error code: 1117)"});
    EXPECT_FALSE(Port().Connected());
    EXPECT_EQ(Sim.RequestFrames().size(), 5u) << "nothing is sent after the loss";

    ChooseTheSamePortAgain();
    ASSERT_TRUE(Port().Connected());
    Prompts.YesNoAnswers = {false, true};
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Trimel")));
    Find<QPushButton>("WriteButton")->click();
    EXPECT_EQ(Errors().size(), 1) << Prompts.Texts().join(" | ").toStdString();
    const TSimImage written = Sim.Image();
    const TCoefImageBytes& built = Program->CoefBlock.CoefImage;
    EXPECT_TRUE(std::equal(written.begin() + 4, written.end(), built.begin() + 4));
}

TEST_F(LostDevice, AdditionalModeThatLosesTheLineReportsOnceAndSwitchesOnTheSamePortChosenAgain) {
    Sim.AddRule(TSimMatch::WriteRegister(373), TSimAction::HangUp());
    Program->Rq7Form->N7()->trigger();
    // The line is found gone either by the first look at the input or by the wait after it.
    ASSERT_EQ(Prompts.Texts().size(), 1);
    EXPECT_TRUE(Prompts.Texts()[0].endsWith("(win error code: 1117)")) << Prompts.Texts()[0].toStdString();
    EXPECT_EQ(Errors().size(), 1);
    EXPECT_FALSE(Port().Connected());
    EXPECT_FALSE(Sim.TranslationMode());

    ChooseTheSamePortAgain();
    Program->Rq7Form->N7()->trigger();
    EXPECT_EQ(Prompts.Texts().last(), "Адаптер переведен в режим побайтовой трансляции");
    EXPECT_TRUE(Sim.TranslationMode());
}

TEST_F(LostDevice, PortThatFindsItsDeviceGoneOpensTheSameNameAfresh) {
    TModbusExchange& exchange = *Program->Exchange;
    exchange.IdentifyDevice();
    ASSERT_EQ(exchange.ReplyText.size(), 19u);
    Sim.HangUp();
    try {
        exchange.IdentifyDevice();
        ADD_FAILURE() << "no error";
    } catch (const EComPort& e) {
        // The request's first look at the input finds the device gone.
        EXPECT_STREQ(e.what(), "ClearCommError function failed (win error code: 1117)");
    }
    EXPECT_FALSE(Port().Connected());
    Port().OpenPort();
    exchange.IdentifyDevice();
    EXPECT_EQ(exchange.ReplyText.size(), 19u);
}

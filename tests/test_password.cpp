// The access password dialog: its look, both modes, and the access rule of the technological mode command.

#include <QApplication>
#include <QKeyEvent>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>

#include "support/TechFixture.h"

namespace {

using namespace std::chrono_literals;

class PasswordDialog : public TTechFixture {
protected:
    // Shows the dialog in the given mode through the prompts, answering it with the handler.
    void Show(int mode, std::function<void(QDialog&)> handler) {
        Pasw().PasswordMode = mode;
        Prompts.DialogHandlers.push_back(std::move(handler));
        Prompts.ExecDialog(Pasw());
    }
    QString Typed() { return Pasw().PaswKoefEdit()->text(); }
};

TEST_F(PasswordDialog, LooksAsDesigned) {
    TPaswKoefForm& dialog = Pasw();
    EXPECT_EQ(dialog.windowTitle(), "");
    const Qt::WindowFlags flags = dialog.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowContextHelpButtonHint));
    EXPECT_EQ(dialog.size(), QSize(280, 186));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_EQ(dialog.pos(), QPoint(432, 297));
    EXPECT_FALSE(dialog.isVisible());

    QLabel* label = dialog.PaswKoefLabel();
    EXPECT_EQ(label->text(), "Введите пароль для работы");
    EXPECT_EQ(label->pos(), QPoint(40, 40));
    EXPECT_EQ(label->font().pixelSize(), 13);
    EXPECT_TRUE(label->font().bold());
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(0, 0, 0x80));

    QLineEdit* edit = dialog.PaswKoefEdit();
    EXPECT_EQ(edit->pos(), QPoint(88, 72));
    EXPECT_EQ(edit->width(), 97);
    EXPECT_EQ(edit->echoMode(), QLineEdit::Password);

    QPushButton* button = dialog.Button1();
    EXPECT_EQ(button->geometry(), QRect(112, 128, 57, 17));
    EXPECT_EQ(button->text(), "Ok");
    EXPECT_TRUE(button->isDefault());
    EXPECT_EQ(dialog.findChildren<QPushButton*>().size(), 1); // no cancel button

    // The edit comes first in the tab order.
    EXPECT_EQ(edit->nextInFocusChain(), button);
}

TEST_F(PasswordDialog, FirstModeRefusesAnythingButTheExactPassword) {
    for (const QString& wrong : {QString(), QStringLiteral("vosek"), QStringLiteral("Vosek "),
                                 QStringLiteral(" Vosek"), QStringLiteral("Trimel")}) {
        Prompts.Shown.clear();
        Pasw().AccessGranted = 0;
        Pasw().ProgramConfirmed = 1;
        Show(1, TypePassword(wrong));
        EXPECT_EQ(Prompts.Texts(), QStringList{"Пароль введен неверно"}) << wrong.toStdString();
        EXPECT_EQ(Typed(), "") << wrong.toStdString();
        EXPECT_FALSE(Pasw().isVisible());
        EXPECT_EQ(Pasw().AccessGranted, 0);
        EXPECT_EQ(Pasw().ProgramConfirmed, 0);
    }
}

TEST_F(PasswordDialog, FirstModeRightPasswordGrantsAndEnterPressesOk) {
    Pasw().ProgramConfirmed = 1;
    // Typed keystroke by keystroke and confirmed with Enter in the edit.
    Show(1, [](QDialog& dialog) {
        auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("PaswKoefEdit"));
        ASSERT_NE(edit, nullptr);
        QTest::keyClicks(edit, QStringLiteral("Vosek"));
        QTest::keyClick(edit, Qt::Key_Return);
    });
    EXPECT_TRUE(Prompts.Texts().isEmpty());
    EXPECT_EQ(Pasw().AccessGranted, 1);
    EXPECT_EQ(Pasw().ProgramConfirmed, 0);
    EXPECT_EQ(Typed(), "Vosek");
    EXPECT_FALSE(Pasw().isVisible());

    // The next showing starts empty; a wrong password leaves the access as it was.
    Show(1, [this](QDialog& dialog) {
        EXPECT_EQ(Typed(), "");
        TypePassword(QStringLiteral("Vosek1"))(dialog);
    });
    EXPECT_EQ(Pasw().AccessGranted, 1);
}

TEST_F(PasswordDialog, WrongFirstModePasswordLeavesTheAccessAsItWas) {
    for (const int before : {1, 0}) {
        Prompts.Shown.clear();
        Pasw().AccessGranted = before;
        Show(1, TypePassword(QStringLiteral("vosek")));
        EXPECT_EQ(Prompts.Texts(), QStringList{"Пароль введен неверно"});
        EXPECT_EQ(Typed(), "");
        EXPECT_EQ(Pasw().AccessGranted, before);
    }
}

TEST_F(PasswordDialog, CloseButtonAndEscapeRunNoCheck) {
    Pasw().AccessGranted = 1;
    Pasw().ProgramConfirmed = 1;
    Show(0, [](QDialog& dialog) {
        auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("PaswKoefEdit"));
        ASSERT_NE(edit, nullptr);
        QTest::keyClicks(edit, QStringLiteral("abc"));
        // Without a cancel button, Escape leaves the dialog open.
        QTest::keyClick(edit, Qt::Key_Escape);
        EXPECT_TRUE(dialog.isVisible());
        dialog.close();
    });
    EXPECT_FALSE(Pasw().isVisible());
    EXPECT_TRUE(Prompts.Texts().isEmpty());
    EXPECT_EQ(Pasw().AccessGranted, 1);
    EXPECT_EQ(Pasw().ProgramConfirmed, 1);
    EXPECT_EQ(Typed(), "abc");
}

TEST_F(PasswordDialog, SecondModeAsksToProgramOnlyForTheRightPassword) {
    // Right password, Yes.
    Pasw().AccessGranted = 1;
    Prompts.YesNoAnswers = {true};
    Show(0, TypePassword(QStringLiteral("Trimel")));
    ASSERT_EQ(Prompts.Shown.size(), 2u);
    EXPECT_EQ(Prompts.Shown[1].kind, TPromptRecord::Question);
    EXPECT_EQ(Prompts.Shown[1].text, "Пароль введен верно. Будем программировать?");
    EXPECT_EQ(Prompts.Shown[1].icon, QMessageBox::Information);
    EXPECT_EQ(Pasw().ProgramConfirmed, 1);
    EXPECT_EQ(Pasw().AccessGranted, 0);
    EXPECT_FALSE(Pasw().isVisible());

    // Right password, No.
    Prompts.Shown.clear();
    Pasw().AccessGranted = 1;
    Prompts.YesNoAnswers = {false};
    Show(2, TypePassword(QStringLiteral("Trimel")));
    EXPECT_EQ(Prompts.Texts(), QStringList{"Пароль введен верно. Будем программировать?"});
    EXPECT_EQ(Pasw().ProgramConfirmed, 0);
    EXPECT_EQ(Pasw().AccessGranted, 0);

    // Wrong passwords, the first one included: the text stays, nothing is asked.
    for (const QString& wrong :
         {QStringLiteral("Vosek"), QStringLiteral("trimel"), QStringLiteral("Trimel ")}) {
        Prompts.Shown.clear();
        Pasw().AccessGranted = 1;
        Pasw().ProgramConfirmed = 1;
        Show(0, TypePassword(wrong));
        EXPECT_EQ(Prompts.Texts(), QStringList{"Пароль введен неверно!"}) << wrong.toStdString();
        EXPECT_EQ(Typed(), wrong);
        EXPECT_EQ(Pasw().AccessGranted, 0);
        EXPECT_EQ(Pasw().ProgramConfirmed, 0);
        EXPECT_FALSE(Pasw().isVisible());
    }
}

// The technological mode command opens its window only for a right password typed in this showing.
// The adapter does not answer, so an opened window's read ends at once with "Нет ответа".
TEST_F(PasswordDialog, TechnologicalModeOpensOnlyForARightPasswordInThisShowing) {
    Sim->AddRule(TSimMatch::Identify(), TSimAction::Silent(), TSimRule::kAlways);
    bool windowShownAtMessage = false;
    Prompts.OnShow = [&](const TPromptRecord& record) {
        if (record.text == "Нет ответа") {
            windowShownAtMessage = Program->TehForm->isVisible();
        }
    };

    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosek")));
    Program->Rq7Form->N5()->trigger();
    EXPECT_EQ(Prompts.Texts(), QStringList{"Нет ответа"});
    EXPECT_TRUE(windowShownAtMessage);
    EXPECT_EQ(Pasw().PasswordMode, 1);
    Line->Settle(); // both identify requests have reached the adapter
    const std::size_t afterFirst = Sim->Requests().size();
    EXPECT_EQ(afterFirst, 2u);

    // A wrong password after the right one.
    Prompts.Shown.clear();
    Prompts.DialogHandlers.push_back(TypePassword(QStringLiteral("Vosekk")));
    Program->Rq7Form->N5()->trigger();
    EXPECT_EQ(Prompts.Texts(), QStringList{"Пароль введен неверно"});
    EXPECT_FALSE(Program->TehForm->isVisible());

    // The dialog closed by its close button, with the right password typed but not confirmed.
    Prompts.Shown.clear();
    Pasw().AccessGranted = 1; // as a right password long ago left it
    Prompts.DialogHandlers.push_back([](QDialog& dialog) {
        auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("PaswKoefEdit"));
        ASSERT_NE(edit, nullptr);
        edit->setText(QStringLiteral("Vosek"));
        dialog.close();
    });
    Program->Rq7Form->N5()->trigger();
    EXPECT_TRUE(Prompts.Texts().isEmpty());
    EXPECT_FALSE(Program->TehForm->isVisible());
    EXPECT_EQ(Pasw().AccessGranted, 0);

    Line->Settle();
    EXPECT_EQ(Sim->Requests().size(), afterFirst);
    EXPECT_EQ(Line->Journal, (std::vector<std::string>{"identify", TWatchedLine::Wait(50), "identify",
                                                       TWatchedLine::Wait(50), TWatchedLine::Wait(50)}));
}

} // namespace

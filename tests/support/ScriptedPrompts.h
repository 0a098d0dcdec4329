#pragma once
// Prompts answered by a script: every text shown is recorded, questions, file choices and modal
// dialogs take their answers from queues. A prompt without a scripted answer is a test failure.

#include <QDialog>
#include <deque>
#include <functional>
#include <vector>

#include "ui/Prompts.h"

#include <ostream>

// Readable QStrings in test failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

struct TPromptRecord {
    enum Kind { Message, Error, Question, SaveFile, OpenFile, Dialog } kind;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

class TScriptedPrompts : public IPrompts {
public:
    // Answers, consumed in order.
    std::deque<bool> YesNoAnswers;
    std::deque<QString> SaveFileAnswers; // empty text = cancelled
    std::deque<QString> OpenFileAnswers; // empty text = cancelled
    // Each handler acts on the shown dialog (types, clicks) and returns; the dialog's result is returned.
    std::deque<std::function<void(QDialog&)>> DialogHandlers;
    QPoint Cursor{100, 100};
    // Runs when a message or error box is shown (e.g. to check state at that moment).
    std::function<void(const TPromptRecord&)> OnShow;

    std::vector<TPromptRecord> Shown;

    void ShowMessage(const QString& text) override;
    void ShowError(const QString& title, const QString& text) override;
    bool AskYesNo(const QString& text, QMessageBox::Icon icon) override;
    QString AskSaveFileName(QWidget* parent, const QString& initialName, const QString& filter,
                            const QString& defaultSuffix) override;
    QString AskOpenFileName(QWidget* parent, const QString& filter) override;
    int ExecDialog(QDialog& dialog) override;
    QPoint CursorPos() override { return Cursor; }

    // The texts of the message and error boxes, in order.
    QStringList Texts() const;
    // The initial name and suffix of the last save dialog.
    QString LastSaveInitialName, LastSaveFilter, LastSaveSuffix, LastOpenFilter;
};

// Answers a password dialog: types the text into PaswKoefEdit and presses Button1.
std::function<void(QDialog&)> TypePassword(const QString& password);
// Closes a dialog by its close button (no check runs).
std::function<void(QDialog&)> CloseDialog();

#include "support/ScriptedPrompts.h"

#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

void TScriptedPrompts::ShowMessage(const QString& text) {
    Shown.push_back({TPromptRecord::Message, ApplicationTitle(), text, QMessageBox::NoIcon});
    if (OnShow) {
        OnShow(Shown.back());
    }
}

void TScriptedPrompts::ShowError(const QString& title, const QString& text) {
    Shown.push_back({TPromptRecord::Error, title, text, QMessageBox::Critical});
    if (OnShow) {
        OnShow(Shown.back());
    }
}

bool TScriptedPrompts::AskYesNo(const QString& text, QMessageBox::Icon icon) {
    Shown.push_back({TPromptRecord::Question, ApplicationTitle(), text, icon});
    if (YesNoAnswers.empty()) {
        ADD_FAILURE() << "unexpected question: " << text.toStdString();
        return false;
    }
    const bool answer = YesNoAnswers.front();
    YesNoAnswers.pop_front();
    return answer;
}

QString TScriptedPrompts::AskSaveFileName(QWidget* /*parent*/, const QString& initialName,
                                          const QString& filter, const QString& defaultSuffix) {
    Shown.push_back({TPromptRecord::SaveFile, QString(), initialName, QMessageBox::NoIcon});
    LastSaveInitialName = initialName;
    LastSaveFilter = filter;
    LastSaveSuffix = defaultSuffix;
    if (SaveFileAnswers.empty()) {
        ADD_FAILURE() << "unexpected save dialog";
        return {};
    }
    QString answer = SaveFileAnswers.front();
    SaveFileAnswers.pop_front();
    return answer;
}

QString TScriptedPrompts::AskOpenFileName(QWidget* /*parent*/, const QString& filter) {
    Shown.push_back({TPromptRecord::OpenFile, QString(), QString(), QMessageBox::NoIcon});
    LastOpenFilter = filter;
    if (OpenFileAnswers.empty()) {
        ADD_FAILURE() << "unexpected open dialog";
        return {};
    }
    QString answer = OpenFileAnswers.front();
    OpenFileAnswers.pop_front();
    return answer;
}

int TScriptedPrompts::ExecDialog(QDialog& dialog) {
    Shown.push_back({TPromptRecord::Dialog, dialog.windowTitle(), dialog.objectName(), QMessageBox::NoIcon});
    dialog.setResult(0);
    dialog.show();
    if (DialogHandlers.empty()) {
        ADD_FAILURE() << "unexpected dialog: " << dialog.objectName().toStdString();
    } else {
        auto handler = std::move(DialogHandlers.front());
        DialogHandlers.pop_front();
        handler(dialog);
    }
    if (dialog.isVisible()) {
        dialog.hide();
    }
    return dialog.result();
}

QStringList TScriptedPrompts::Texts() const {
    QStringList texts;
    for (const auto& record : Shown) {
        if (record.kind == TPromptRecord::Message || record.kind == TPromptRecord::Error ||
            record.kind == TPromptRecord::Question) {
            texts << record.text;
        }
    }
    return texts;
}

std::function<void(QDialog&)> TypePassword(const QString& password) {
    return [password](QDialog& dialog) {
        auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("PaswKoefEdit"));
        auto* button = dialog.findChild<QPushButton*>(QStringLiteral("Button1"));
        ASSERT_NE(edit, nullptr);
        ASSERT_NE(button, nullptr);
        edit->setText(password);
        button->click();
    };
}

std::function<void(QDialog&)> CloseDialog() {
    return [](QDialog& dialog) { dialog.reject(); };
}

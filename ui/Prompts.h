#pragma once
// Every message box, question, file choice and modal dialog of the program goes through IPrompts,
// so that the windows can be driven by tests with scripted answers.

#include <QDialog>
#include <QMessageBox>
#include <QPoint>
#include <QString>

class IPrompts {
public:
    virtual ~IPrompts() = default;
    // A plain message box with an OK button, titled with the application title.
    virtual void ShowMessage(const QString& text) = 0;
    // A message box with the error icon, the given title and an OK button.
    virtual void ShowError(const QString& title, const QString& text) = 0;
    // A question with the buttons Yes and No; true for Yes.
    virtual bool AskYesNo(const QString& text, QMessageBox::Icon icon) = 0;
    // A file save dialog preset to initialName; the chosen path, or an empty text when cancelled.
    // defaultSuffix is appended when the user types a name without an extension.
    virtual QString AskSaveFileName(QWidget* parent, const QString& initialName, const QString& filter,
                                    const QString& defaultSuffix) = 0;
    // A file open dialog; the chosen path, or an empty text when cancelled.
    virtual QString AskOpenFileName(QWidget* parent, const QString& filter) = 0;
    // Shows a dialog modally and returns the result it closed with.
    virtual int ExecDialog(QDialog& dialog) = 0;
    // The mouse cursor's position in screen coordinates.
    virtual QPoint CursorPos() = 0;
};

// The real prompts: Qt message boxes and Qt's own (not the desktop's) file dialogs.
class TQtPrompts : public IPrompts {
public:
    void ShowMessage(const QString& text) override;
    void ShowError(const QString& title, const QString& text) override;
    bool AskYesNo(const QString& text, QMessageBox::Icon icon) override;
    QString AskSaveFileName(QWidget* parent, const QString& initialName, const QString& filter,
                            const QString& defaultSuffix) override;
    QString AskOpenFileName(QWidget* parent, const QString& filter) override;
    int ExecDialog(QDialog& dialog) override;
    QPoint CursorPos() override;
};

// The application title: the executable's file name without its extension.
QString ApplicationTitle();

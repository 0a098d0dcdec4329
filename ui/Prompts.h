#pragma once
// Every message box, question, file choice and modal dialog of the program goes through IPrompts,
// so that the windows can be driven by tests with scripted answers.

#include <QDialog>
#include <QMessageBox>
#include <QPoint>
#include <QSize>
#include <QString>
#include <memory>

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

// The size the file dialogs open with.
inline constexpr QSize kFileDialogSize{760, 460};

// The real prompts: Qt message boxes (over the window in use) and Qt's own (not the desktop's) file
// dialogs.
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

// The text with each line break (CR LF, or a bare CR as the program's messages use) as a line feed.
// A message box's label breaks lines at a bare CR only where its text is selectable (the Linux
// styles); with the Windows style it draws the CR as a space and the lines run into one paragraph.
QString WithLineFeeds(const QString& text);
// A message box as the prompts show it, its lines broken where the text breaks them on every style,
// standing over the active window.
std::unique_ptr<QMessageBox> NewMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text,
                                           QMessageBox::StandardButtons buttons);

#include "ui/Prompts.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QFileDialog>
#include <QFileInfo>

QString ApplicationTitle() {
    const QString path = QCoreApplication::applicationFilePath();
    const QString name = QFileInfo(path).completeBaseName();
    return name.isEmpty() ? QStringLiteral("rq7") : name;
}

QString WithLineFeeds(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

std::unique_ptr<QMessageBox> NewMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text,
                                           QMessageBox::StandardButtons buttons) {
    // Over the window in use, not in the middle of the screen. The box is deleted by its owner, not by
    // the window, so it must not outlive its showing.
    return std::make_unique<QMessageBox>(icon, title, WithLineFeeds(text), buttons,
                                         QApplication::activeWindow());
}

void TQtPrompts::ShowMessage(const QString& text) {
    NewMessageBox(QMessageBox::NoIcon, ApplicationTitle(), text, QMessageBox::Ok)->exec();
}

void TQtPrompts::ShowError(const QString& title, const QString& text) {
    NewMessageBox(QMessageBox::Critical, title, text, QMessageBox::Ok)->exec();
}

bool TQtPrompts::AskYesNo(const QString& text, QMessageBox::Icon icon) {
    return NewMessageBox(icon, ApplicationTitle(), text, QMessageBox::Yes | QMessageBox::No)->exec() ==
           QMessageBox::Yes;
}

namespace {
// Qt's own file dialog, wide enough for its name, size, type and date columns.
void PrepareFileDialog(QFileDialog& dialog) {
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.resize(kFileDialogSize);
}
} // namespace

QString TQtPrompts::AskSaveFileName(QWidget* parent, const QString& initialName, const QString& filter,
                                    const QString& defaultSuffix) {
    QFileDialog dialog(parent, QString(), initialName, filter);
    PrepareFileDialog(dialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(defaultSuffix);
    dialog.selectFile(initialName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

QString TQtPrompts::AskOpenFileName(QWidget* parent, const QString& filter) {
    QFileDialog dialog(parent, QString(), QString(), filter);
    PrepareFileDialog(dialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

int TQtPrompts::ExecDialog(QDialog& dialog) {
    return dialog.exec();
}

QPoint TQtPrompts::CursorPos() {
    return QCursor::pos();
}

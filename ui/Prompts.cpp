#include "ui/Prompts.h"

#include <QCoreApplication>
#include <QCursor>
#include <QFileDialog>
#include <QFileInfo>

QString ApplicationTitle() {
    const QString path = QCoreApplication::applicationFilePath();
    const QString name = QFileInfo(path).completeBaseName();
    return name.isEmpty() ? QStringLiteral("rq7") : name;
}

void TQtPrompts::ShowMessage(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), text, QMessageBox::Ok);
    box.exec();
}

void TQtPrompts::ShowError(const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok);
    box.exec();
}

bool TQtPrompts::AskYesNo(const QString& text, QMessageBox::Icon icon) {
    QMessageBox box(icon, ApplicationTitle(), text, QMessageBox::Yes | QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

QString TQtPrompts::AskSaveFileName(QWidget* parent, const QString& initialName, const QString& filter,
                                    const QString& defaultSuffix) {
    QFileDialog dialog(parent, QString(), initialName, filter);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
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
    dialog.setOption(QFileDialog::DontUseNativeDialog);
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

#include "ui/PaswKoefUnit.h"

#include <QKeyEvent>
#include <QShowEvent>

#include "coef/Passwords.h"
#include "ui/ErrorReport.h"
#include "ui/Prompts.h"
#include "ui_PaswKoefUnit.h"

const QString TPaswKoefForm::FirstPassword = QString::fromLatin1(kFirstPassword);
const QString TPaswKoefForm::SecondPassword = QString::fromLatin1(kSecondPassword);

TPaswKoefForm::TPaswKoefForm(IPrompts& prompts, QWidget* parent)
    : QDialog(parent), prompts_(prompts), ui_(std::make_unique<Ui::TPaswKoefForm>()) {
    ui_->setupUi(this);
    // A fixed dialog frame with only the close button and no caption text.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QString());
    setFixedSize(280, 186);
    move(432, 297);

    QFont labelFont = ui_->PaswKoefLabel->font();
    labelFont.setPixelSize(13);
    labelFont.setBold(true);
    ui_->PaswKoefLabel->setFont(labelFont);
    QPalette labelPalette = ui_->PaswKoefLabel->palette();
    labelPalette.setColor(QPalette::WindowText, QColor(0x00, 0x00, 0x80)); // navy
    ui_->PaswKoefLabel->setPalette(labelPalette);

    ui_->PaswKoefEdit->setFocus();
    connect(ui_->Button1, &QPushButton::clicked, this,
            [this, &prompts] { RunReported(prompts, [this] { Button1Click(); }); });
}

TPaswKoefForm::~TPaswKoefForm() = default;

QLabel* TPaswKoefForm::PaswKoefLabel() const {
    return ui_->PaswKoefLabel;
}
QLineEdit* TPaswKoefForm::PaswKoefEdit() const {
    return ui_->PaswKoefEdit;
}
QPushButton* TPaswKoefForm::Button1() const {
    return ui_->Button1;
}

void TPaswKoefForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        FormShow();
    }
}

void TPaswKoefForm::keyPressEvent(QKeyEvent* event) {
    // There is no cancel button: Escape does not close the dialog, only the close button does.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TPaswKoefForm::FormShow() {
    ui_->PaswKoefEdit->clear();
    ui_->PaswKoefEdit->setFocus();
}

void TPaswKoefForm::Button1Click() {
    ProgramConfirmed = 0;
    const QString typed = ui_->PaswKoefEdit->text();
    if (PasswordMode == 1) {
        if (typed == FirstPassword) {
            AccessGranted = 1;
        } else {
            // AccessGranted keeps its value: the callers clear it before a showing that must grant it.
            ui_->PaswKoefEdit->clear();
            prompts_.ShowMessage(QStringLiteral("Пароль введен неверно"));
        }
    } else {
        AccessGranted = 0;
        if (typed == SecondPassword) {
            if (prompts_.AskYesNo(QStringLiteral("Пароль введен верно. Будем программировать?"),
                                  QMessageBox::Information)) {
                ProgramConfirmed = 1;
            }
        } else {
            prompts_.ShowMessage(QStringLiteral("Пароль введен неверно!"));
        }
    }
    accept();
}

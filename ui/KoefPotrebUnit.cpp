#include "ui/KoefPotrebUnit.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QShowEvent>
#include <optional>
#include <string>
#include <vector>

#include "coef/CoefBlock.h"
#include "coef/TextFile.h"
#include "coef/ValueText.h"
#include "link/ModbusUnit.h"
#include "ui/ErrorReport.h"
#include "ui/PaswKoefUnit.h"
#include "ui/Progress.h"
#include "ui/Prompts.h"
#include "ui/Rq7Program.h"
#include "ui/Rq7Unit.h"
#include "ui_KoefPotrebUnit.h"

namespace {

// The adapter's address register.
constexpr std::uint16_t kAddressRegister = 375;
// The password that lets the limits be written (the password dialog's first mode).
const QString kWritePassword = QStringLiteral("Vosek");
constexpr int kSlotCount = 16;

using TKeyFilter = std::optional<char32_t> (*)(char32_t);

// Runs one key press of an edit through a key filter. Returns true when the press has been dealt with
// here: discarded, or its characters inserted in their filtered form.
bool FilterKeyPress(QLineEdit& edit, const QKeyEvent& event, TKeyFilter filter) {
    // The clipboard, undo and select-all shortcuts come as control characters, which the filters discard.
    if (event.matches(QKeySequence::Copy) || event.matches(QKeySequence::Cut) ||
        event.matches(QKeySequence::Paste) || event.matches(QKeySequence::Undo) ||
        event.matches(QKeySequence::Redo) || event.matches(QKeySequence::SelectAll)) {
        return true;
    }
    // Focus moves and the delete key are no typed characters.
    const int key = event.key();
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab || key == Qt::Key_Delete) {
        return false;
    }
    const QString text = event.text();
    if (text.isEmpty()) {
        return false; // cursor movement and other keys without a character
    }
    const Qt::KeyboardModifiers modifiers = event.modifiers();
    if (modifiers.testFlag(Qt::ControlModifier) && !modifiers.testFlag(Qt::AltModifier)) {
        return true; // a control character
    }
    QString taken;
    for (const char32_t ch : text.toUcs4()) {
        if (const std::optional<char32_t> filtered = filter(ch)) {
            taken += QString::fromUcs4(&*filtered, 1);
        }
    }
    if (taken == text) {
        return false; // the edit takes the key as it is (backspace included)
    }
    if (!taken.isEmpty()) {
        edit.insert(taken);
    }
    return true;
}

QString FromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}
std::string ToUtf8(const QString& text) {
    return text.toStdString();
}

} // namespace

const char* const TKoefForPotreb::BackupFileName = "tmp.dat";

TKoefForPotreb::TKoefForPotreb(TRq7Program& program, QWidget* parent)
    : QWidget(parent), program_(program), ui_(std::make_unique<Ui::TKoefForPotreb>()),
      commands_(*program.Exchange) {
    ui_->setupUi(this);
    // While any device sequence runs (here, in the main menu or in the technological mode window), none
    // of the three commands may act. The write is offered once a read or a restore filled the limits.
    commands_.AddButton(*ui_->ReadButton);
    commands_.AddButton(*ui_->WriteButton, false);
    commands_.AddButton(*ui_->IschodButton);

    IPrompts& prompts = program_.Prompts;
    connect(ui_->ReadButton, &QPushButton::clicked, this,
            [this, &prompts] { RunReported(prompts, [this] { ReadButtonClick(); }); });
    connect(ui_->WriteButton, &QPushButton::clicked, this,
            [this, &prompts] { RunReported(prompts, [this] { WriteButtonClick(); }); });
    connect(ui_->IschodButton, &QPushButton::clicked, this,
            [this, &prompts] { RunReported(prompts, [this] { IschodButtonClick(); }); });

    for (QLineEdit* edit : {ui_->Canal1_20, ui_->Canal1_4, ui_->Canal2_20, ui_->Canal2_4, ui_->Canal3_20,
                            ui_->Canal3_4, ui_->ZavodNEdit}) {
        edit->installEventFilter(this);
    }
}

TKoefForPotreb::~TKoefForPotreb() = default;

void TKoefForPotreb::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous() || !program_.Rq7Form) {
        return;
    }
    // Centred over the main window. Client areas are compared: the frame is not always known yet
    // when the window is first shown, and both windows carry the same frame.
    QRect area = geometry();
    area.moveCenter(program_.Rq7Form->geometry().center());
    setGeometry(area);
}

void TKoefForPotreb::closeEvent(QCloseEvent* event) {
    FormClose();
    QWidget::closeEvent(event);
}

void TKoefForPotreb::FormClose() {
    if (program_.Rq7Form) {
        program_.Rq7Form->show();
    }
}

bool TKoefForPotreb::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto& keyEvent = static_cast<QKeyEvent&>(*event);
        if (watched == ui_->ZavodNEdit) {
            return ZavodNEditKeyPress(*ui_->ZavodNEdit, keyEvent);
        }
        if (auto* edit = qobject_cast<QLineEdit*>(watched)) {
            return Canal1_20KeyPress(*edit, keyEvent);
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool TKoefForPotreb::Canal1_20KeyPress(QLineEdit& edit, const QKeyEvent& event) {
    return FilterKeyPress(edit, event, &NumericKeyFilter);
}

bool TKoefForPotreb::ZavodNEditKeyPress(QLineEdit& edit, const QKeyEvent& event) {
    return FilterKeyPress(edit, event, &FactoryNumberKeyFilter);
}

QLineEdit* TKoefForPotreb::LimitEdit(int k) const {
    switch (k) {
    case 1:
        return ui_->Canal1_20;
    case 2:
        return ui_->Canal1_4;
    case 5:
        return ui_->Canal2_20;
    case 6:
        return ui_->Canal2_4;
    case 9:
        return ui_->Canal3_20;
    case 10:
        return ui_->Canal3_4;
    default:
        return nullptr;
    }
}

TLimitsTexts TKoefForPotreb::CurrentLimitsTexts() const {
    TLimitsTexts texts;
    texts.Canal1_20 = ToUtf8(ui_->Canal1_20->text());
    texts.Canal1_4 = ToUtf8(ui_->Canal1_4->text());
    texts.Canal2_20 = ToUtf8(ui_->Canal2_20->text());
    texts.Canal2_4 = ToUtf8(ui_->Canal2_4->text());
    texts.Canal3_20 = ToUtf8(ui_->Canal3_20->text());
    texts.Canal3_4 = ToUtf8(ui_->Canal3_4->text());
    texts.ZavodNEdit = ToUtf8(ui_->ZavodNEdit->text());
    texts.AdrEdit = ToUtf8(ui_->AdrEdit->text());
    return texts;
}

void TKoefForPotreb::N4Click() {
    const TExchangeGuard guard = commands_.Begin();
    if (!guard.Acquired()) {
        return;
    }
    show();
    raise();
    ReadLimitsWithBackup();
    setEnabled(true);
}

void TKoefForPotreb::ReadLimitsWithBackup() {
    ReadBlock(TReadKind::Opening);
}

void TKoefForPotreb::ReadButtonClick() {
    const TExchangeGuard guard = commands_.Begin();
    if (!guard.Acquired()) {
        return;
    }
    ReadBlock(TReadKind::OnRequest);
}

void TKoefForPotreb::ReadBlock(TReadKind kind) {
    TModbusExchange& exchange = *program_.Exchange;
    TCoefBlock& block = program_.CoefBlock;
    const bool opening = kind == TReadKind::Opening;

    exchange.IdentifyDevice();
    if (exchange.ReplyText.size() < 3) {
        exchange.DelayWithMessages(50);
        exchange.IdentifyDevice();
        if (exchange.ReplyText.size() < 3) {
            program_.Prompts.ShowMessage(QStringLiteral("Нет ответа"));
            if (opening) {
                close();
            }
            return;
        }
    }

    // The backup file is replaced at once and then rewritten after each limit line, so a read that stops
    // leaves the lines of the slots read before.
    std::vector<std::string> backupLines;
    if (opening) {
        WriteTextFileLines(BackupFileName, backupLines);
    }
    // The address of the adapter that answered.
    ui_->AdrEdit->setText(QString::number(static_cast<unsigned char>(exchange.ReplyText[0])));

    ui_->Panel2->show();
    ui_->Label8->setText(QStringLiteral(" Чтение коэффициентов "));
    exchange.SlotIndex = 1;
    bool failed = false;
    for (int k = 1; k <= kSlotCount; ++k) {
        exchange.ReadSlot();
        if (exchange.ExchangeState != esAccepted) {
            exchange.ReadSlot();
            if (exchange.ExchangeState != esAccepted) {
                program_.Prompts.ShowMessage(QStringLiteral("Сбой!"));
                failed = true;
                break;
            }
        }
        // Channel 2 keeps its limits 100 above the values shown.
        if (k == 5 || k == 6) {
            block.LastValue -= 100.0;
        }
        std::optional<std::string> backupLine;
        if (QLineEdit* edit = LimitEdit(k)) {
            const std::string text = ValueText(block.LastValue, 2);
            edit->setText(FromUtf8(text));
            backupLine = text;
        } else if (k == 13) {
            ui_->ZavodNEdit->setText(FromUtf8(FactoryNumberText(block.FactoryNumber)));
            backupLine = ValueText(block.LastValue, 2);
        } else if (k == 14) {
            (opening ? ui_->DateLabel : ui_->DataZapLabel)->setText(FromUtf8(block.RecordDateText));
            backupLine = ValueText(block.LastValue, 2);
        }
        if (opening && backupLine) {
            backupLines.push_back(*backupLine);
            WriteTextFileLines(BackupFileName, backupLines);
        }
        // The slots that the window does not show reach the next write through these texts.
        if (k <= 12) {
            block.SlotTexts.at(static_cast<std::size_t>(k)) = ValueText(block.LastValue, 4);
        }
        ShowProgress(*ui_->ProgressBar1, k * 100 / kSlotCount);
        exchange.DelayWithMessages(opening ? 100 : 50);
        ++exchange.SlotIndex;
    }

    ui_->Panel2->hide();
    commands_.SetOffered(*ui_->WriteButton, true);
    if (!failed && !block.VerifyReadImage()) {
        program_.Prompts.ShowMessage(QStringLiteral("Ошибка кс"));
    }
    setEnabled(true);
}

template <typename F> bool TKoefForPotreb::WriteWithRetry(F&& send) {
    TModbusExchange& exchange = *program_.Exchange;
    send();
    if (!exchange.WriteConfirmed()) {
        exchange.DelayWithMessages(50);
        send();
    }
    return exchange.WriteConfirmed();
}

void TKoefForPotreb::WriteButtonClick() {
    TModbusExchange& exchange = *program_.Exchange;
    TCoefBlock& block = program_.CoefBlock;
    const TExchangeGuard guard = commands_.Begin();
    if (!guard.Acquired()) {
        return;
    }

    TPaswKoefForm& passwordDialog = *program_.PaswKoefForm;
    passwordDialog.PasswordMode = 1;
    // Only a password confirmed with OK in this showing lets the write go on: a right password typed
    // and then abandoned by closing the dialog is no consent to change the adapter.
    passwordDialog.AccessGranted = 0;
    program_.Prompts.ExecDialog(passwordDialog);
    const auto* passwordEdit = passwordDialog.findChild<QLineEdit*>(QStringLiteral("PaswKoefEdit"));
    if (passwordEdit == nullptr || passwordEdit->text() != kWritePassword ||
        passwordDialog.AccessGranted != 1) {
        return;
    }

    // The whole block is built and checked before anything is sent, so bad input leaves the adapter
    // as it was: an address that is not an integer and a value beyond single precision raise their
    // errors here, a text that is not a number ends the write with "Проверьте данные".
    const std::int32_t address = StrToInt(ToUtf8(ui_->AdrEdit->text()));
    block.BuildImageFromLimits(CurrentLimitsTexts());
    if (block.ImageError != 0) {
        program_.Prompts.ShowMessage(QStringLiteral("Проверьте данные"));
        return;
    }

    if (!WriteWithRetry(
            [&] { exchange.WriteRegister(kAddressRegister, static_cast<std::uint32_t>(address)); })) {
        program_.Prompts.ShowMessage(QStringLiteral("Нет ответа"));
        return;
    }

    ui_->Panel2->show();
    ui_->Label8->setText(QStringLiteral("Внимание! Идет запись коэффициентов ППЗУ!"));
    exchange.SlotIndex = 1;
    for (int k = 1; k <= kSlotCount; ++k) {
        if (!WriteWithRetry([&] { exchange.WriteSlot(); })) {
            program_.Prompts.ShowMessage(QStringLiteral("Нет ответа"));
            return;
        }
        ++exchange.SlotIndex;
        ShowProgress(*ui_->ProgressBar1, k * 100 / kSlotCount);
        exchange.DelayWithMessages(50);
    }
    ui_->Panel2->hide();
}

void TKoefForPotreb::IschodButtonClick() {
    const TExchangeGuard guard = commands_.Begin();
    if (!guard.Acquired()) {
        return;
    }
    QLineEdit* const edits[] = {ui_->Canal1_20, ui_->Canal1_4,  ui_->Canal2_20,
                                ui_->Canal2_4,  ui_->Canal3_20, ui_->Canal3_4};
    // Only the six limit lines are read, whatever else the file holds.
    const std::vector<std::string> lines = ReadFirstTextFileLines(BackupFileName, std::size(edits));
    std::size_t line = 0;
    for (QLineEdit* edit : edits) {
        edit->setText(line < lines.size() ? FromUtf8(lines[line]) : QString());
        ++line;
    }
    commands_.SetOffered(*ui_->WriteButton, true);
}

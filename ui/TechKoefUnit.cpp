#include "ui/TechKoefUnit.h"

#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QKeySequence>

#include "coef/CoefBlock.h"
#include "coef/TextFile.h"
#include "coef/ValueText.h"
#include "link/ModbusUnit.h"
#include "ui/ErrorReport.h"
#include "ui/PaswKoefUnit.h"
#include "ui/Progress.h"
#include "ui/Prompts.h"
#include "ui/Rq7Program.h"
#include "ui_TechKoefUnit.h"

namespace {
constexpr int kSlotCount = 16;
constexpr int kValueSlots = 12;
constexpr int kFactoryNumberSlot = 13;
constexpr int kDateSlot = 14;
constexpr int kAddressSlot = 15;
// The address byte D1 of slot 15 stands at byte 4 of the slot's reply.
constexpr std::size_t kAddressReplyByte = 4;
// The channel-2 limits (slots 5 and 6) are held 100 above the value shown.
constexpr double kChannel2Offset = 100.0;

// Parameter values (slots 1, 2, 5, 6, 9, 10) are shown with 2 decimals, currents with 4.
int SlotDecimals(int slot) {
    return ((slot - 1) % 4) < 2 ? 2 : 4;
}

QString FromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

// The text file code takes names in UTF-8 on every system (the Win32 code widens them to UTF-16), so
// any name works, not only those the ANSI code page of Windows can spell.
std::string FileSystemName(const QString& fileName) {
    return fileName.toStdString();
}

int ProgressAfterSlot(int slot) {
    return slot * 100 / kSlotCount;
}

// The saving time line of a coefficient file: dd/mm/yyyy(hh:mm:ss), whatever the locale.
QString SavingTimeText(const TLocalTime& t) {
    return QString::asprintf("%02d/%02d/%04d(%02d:%02d:%02d)", t.Day, t.Month, t.Year, t.Hour, t.Minute,
                             t.Second);
}
} // namespace

TTehForm::TTehForm(TRq7Program& program, QWidget* parent)
    : QWidget(parent), program_(program), ui_(std::make_unique<Ui::TTehForm>()),
      commands_(*program.Exchange) {
    ui_->setupUi(this);
    resize(449, 681);
    ui_->Panel1->hide();
    ui_->ProgressBar1->setRange(0, 100);
    ui_->ProgressBar1->setValue(0);
    // While any device sequence runs, here or elsewhere, none of the four commands may act.
    commands_.AddButton(*ui_->ReadButton);
    commands_.AddButton(*ui_->WriteButton, false);
    commands_.AddButton(*ui_->ReadFileButton);
    commands_.AddButton(*ui_->NachButton);

    // SaveDialog1: default extension "dat", the filter "текстовые(*.dat)|*.dat" in the dialog's form.
    SaveDialog1.DefaultExt = QStringLiteral("dat");
    SaveDialog1.Filter = QStringLiteral("текстовые(*.dat) (*.dat)");
    // OpenDialog1: no filter, no default extension.

    // Value edits take typed characters through their key filter only (no dropped text either).
    for (QLineEdit* edit : ValueEdits()) {
        edit->installEventFilter(this);
        edit->setAcceptDrops(false);
    }

    IPrompts& prompts = program_.Prompts;
    connect(ui_->ReadButton, &QPushButton::clicked, this,
            [this, &prompts] { RunReported(prompts, [this] { ReadButtonClick(); }); });
    connect(ui_->WriteButton, &QPushButton::clicked, this,
            [this, &prompts] { RunReported(prompts, [this] { WriteButtonClick(); }); });
    connect(ui_->ReadFileButton, &QPushButton::clicked, this,
            [this, &prompts] { RunReported(prompts, [this] { ReadFileButtonClick(); }); });
    connect(ui_->NachButton, &QPushButton::clicked, this,
            [this, &prompts] { RunReported(prompts, [this] { NachButtonClick(); }); });
}

TTehForm::~TTehForm() = default;

std::array<QLineEdit*, 12> TTehForm::ValueEdits() const {
    return {ui_->KoefEdit1, ui_->KoefEdit2, ui_->KoefEdit3, ui_->KoefEdit4, ui_->Edit21, ui_->Edit22,
            ui_->Edit23,    ui_->Edit24,    ui_->Edit31,    ui_->Edit32,    ui_->Edit33, ui_->Edit34};
}

void TTehForm::SetWriteButtonAllowed(bool allowed) {
    commands_.SetOffered(*ui_->WriteButton, allowed);
}

// ---------------------------------------------------------------------------------------------
// Opening and reading

void TTehForm::N5Click() {
    const TExchangeGuard guard = commands_.Begin();
    if (!guard.Acquired()) {
        return;
    }
    TPaswKoefForm& dialog = *program_.PaswKoefForm;
    dialog.PasswordMode = 1;
    // Only a right password typed in this showing opens the window: a grant left over from an earlier
    // showing does not count when this one was closed without a check.
    dialog.AccessGranted = 0;
    program_.Prompts.ExecDialog(dialog);
    if (dialog.AccessGranted != 1) {
        return;
    }
    show();
    raise();
    ReadCoefficients();
    setEnabled(true);
}

void TTehForm::ReadButtonClick() {
    const TExchangeGuard guard = commands_.Begin();
    if (!guard.Acquired()) {
        return;
    }
    ReadCoefficients();
}

void TTehForm::ReadCoefficients() {
    TModbusExchange& exchange = *program_.Exchange;
    TCoefBlock& block = program_.CoefBlock;
    IPrompts& prompts = program_.Prompts;

    ui_->Label20->setText(QStringLiteral(" Чтение коэффициентов "));
    exchange.IdentifyDevice();
    if (exchange.ReplyText.size() < 3) {
        exchange.IdentifyDevice();
        exchange.DelayWithMessages(50);
        if (exchange.ReplyText.size() < 3) {
            prompts.ShowMessage(QStringLiteral("Нет ответа"));
            hide();
            return;
        }
    }

    ui_->Panel1->show();
    exchange.SlotIndex = 1;
    bool failed = false;
    const std::array<QLineEdit*, 12> valueEdits = ValueEdits();
    for (int k = 1; k <= kSlotCount; ++k) {
        exchange.ReadSlot();
        if (exchange.ExchangeState != esAccepted) {
            exchange.ReadSlot();
            if (exchange.ExchangeState != esAccepted) {
                prompts.ShowMessage(QStringLiteral("Сбой!"));
                failed = true;
                break;
            }
        }
        if (k <= kValueSlots) {
            if (k == 5 || k == 6) {
                block.LastValue -= kChannel2Offset;
            }
            valueEdits[static_cast<std::size_t>(k - 1)]->setText(
                FromUtf8(ValueText(block.LastValue, SlotDecimals(k))));
            block.SlotTexts[static_cast<std::size_t>(k)] = ValueText(block.LastValue, 4);
        } else if (k == kFactoryNumberSlot) {
            ui_->ZavodEdit->setText(FromUtf8(FactoryNumberText(block.FactoryNumber)));
        } else if (k == kDateSlot) {
            ui_->DataLabel->setText(FromUtf8(block.RecordDateText));
        } else if (k == kAddressSlot && exchange.ReplyText.size() > kAddressReplyByte) {
            const auto address = static_cast<unsigned char>(exchange.ReplyText[kAddressReplyByte]);
            ui_->AdrEdit->setText(QString::number(address));
        }
        ShowProgress(*ui_->ProgressBar1, ProgressAfterSlot(k));
        exchange.DelayWithMessages(50);
        ++exchange.SlotIndex;
    }
    ui_->Panel1->hide();
    if (!failed && !block.VerifyReadImage()) {
        prompts.ShowMessage(QStringLiteral("Ошибка кс"));
    }
    setEnabled(true);
    SetWriteButtonAllowed(true);
}

// ---------------------------------------------------------------------------------------------
// Writing

void TTehForm::WriteButtonClick() {
    const TExchangeGuard guard = commands_.Begin();
    if (!guard.Acquired()) {
        return;
    }
    WriteCoefficients();
}

void TTehForm::WriteCoefficients() {
    TModbusExchange& exchange = *program_.Exchange;
    TCoefBlock& block = program_.CoefBlock;
    IPrompts& prompts = program_.Prompts;
    TPaswKoefForm& dialog = *program_.PaswKoefForm;

    dialog.PasswordMode = 0;
    if (prompts.AskYesNo(QStringLiteral("Сохранить данные на диске?"), QMessageBox::Question)) {
        SaveDialog1.FileName = ui_->ZavodEdit->text();
        const QString chosen =
            prompts.AskSaveFileName(this, SaveDialog1.FileName, SaveDialog1.Filter, SaveDialog1.DefaultExt);
        // A cancelled dialog gives no name at all; a confirmed one with an empty name ends the command.
        if (!chosen.isNull()) {
            if (chosen.isEmpty()) {
                return;
            }
            SaveDialog1.FileName = chosen;
            if (QFileInfo(chosen).suffix().isEmpty()) {
                SaveDialog1.FileName += QLatin1Char('.') + SaveDialog1.DefaultExt;
            }
            SaveCoefficientFile(SaveDialog1.FileName);
        }
    }

    // Only the dialog's OK with the right password and a Yes to programming in this showing let the
    // write go on: a confirmation left over from an earlier write does not count when this showing was
    // closed without its check.
    dialog.ProgramConfirmed = 0;
    prompts.ExecDialog(dialog);
    if (dialog.PaswKoefEdit()->text() != TPaswKoefForm::SecondPassword || dialog.ProgramConfirmed != 1) {
        ui_->Panel1->hide();
        return;
    }

    exchange.SlotIndex = 1;
    ui_->Label20->setText(QStringLiteral("Внимание! Идет запись коэффициентов ППЗУ!"));
    ui_->Panel1->show();

    TTechTexts texts;
    const std::array<QLineEdit*, 12> valueEdits = ValueEdits();
    for (std::size_t i = 0; i < valueEdits.size(); ++i) {
        texts.Values[i] = valueEdits[i]->text().toStdString();
    }
    texts.ZavodEdit = ui_->ZavodEdit->text().toStdString();
    texts.AdrEdit = ui_->AdrEdit->text().toStdString();
    block.BuildImageFromTech(texts);
    if (block.ImageError != 0) {
        prompts.ShowMessage(QStringLiteral("Проверьте данные"));
        return;
    }

    for (int k = 1; k <= kSlotCount; ++k) {
        // A reply that is missing, garbled or an exception counts as no answer.
        exchange.WriteSlot();
        if (!exchange.WriteConfirmed()) {
            exchange.DelayWithMessages(50);
            exchange.WriteSlot();
            if (!exchange.WriteConfirmed()) {
                prompts.ShowMessage(QStringLiteral("Нет ответа"));
                return;
            }
        }
        ++exchange.SlotIndex;
        ShowProgress(*ui_->ProgressBar1, ProgressAfterSlot(k));
        exchange.DelayWithMessages(80);
    }
    ui_->Panel1->hide();
}

// ---------------------------------------------------------------------------------------------
// Initial values and the coefficient file

void TTehForm::NachButtonClick() {
    static const std::array<const char*, 12> kInitialValues = {"1010", "630", "16",  "4",   "85", "-40",
                                                               "16",   "4",   "200", "1.5", "16", "4"};
    const TExchangeGuard guard = commands_.Begin();
    if (!guard.Acquired()) {
        return;
    }
    const std::array<QLineEdit*, 12> valueEdits = ValueEdits();
    for (std::size_t i = 0; i < valueEdits.size(); ++i) {
        valueEdits[i]->setText(QString::fromLatin1(kInitialValues[i]));
    }
    ui_->ZavodEdit->setText(QStringLiteral("0101001"));
    ui_->AdrEdit->setText(QStringLiteral("1"));
    SetWriteButtonAllowed(true);
}

std::vector<std::string> TTehForm::CoefficientFileLines() const {
    std::vector<std::string> lines;
    lines.reserve(kCoefficientFileLines);
    lines.push_back(ui_->AdrEdit->text().toStdString());
    lines.push_back(SavingTimeText(program_.CoefBlock.LocalNow()).toStdString());
    lines.push_back(ui_->ZavodEdit->text().toStdString());
    for (QLineEdit* edit : ValueEdits()) {
        lines.push_back(edit->text().toStdString());
    }
    return lines;
}

void TTehForm::SaveCoefficientFile(const QString& fileName) {
    // Written beside the target and renamed over it: a failed save leaves an earlier file intact.
    WriteTextFileLines(FileSystemName(fileName), CoefficientFileLines());
}

void TTehForm::ReadFileButtonClick() {
    const TExchangeGuard guard = commands_.Begin();
    if (!guard.Acquired()) {
        return;
    }
    const QString chosen = program_.Prompts.AskOpenFileName(this, OpenDialog1.Filter);
    if (chosen.isEmpty()) {
        return;
    }
    OpenDialog1.FileName = chosen;
    // Only the lines the window uses are read: a file of any size or shape loads at once.
    std::vector<std::string> lines = ReadFirstTextFileLines(FileSystemName(chosen), kCoefficientFileLines);
    lines.resize(kCoefficientFileLines);
    ui_->AdrEdit->setText(FromUtf8(lines[0]));
    ui_->DataLabel->setText(FromUtf8(lines[1]));
    ui_->ZavodEdit->setText(FromUtf8(lines[2]));
    const std::array<QLineEdit*, 12> valueEdits = ValueEdits();
    for (std::size_t i = 0; i < valueEdits.size(); ++i) {
        valueEdits[i]->setText(FromUtf8(lines[i + 3]));
    }
}

// ---------------------------------------------------------------------------------------------
// Key filter

bool TTehForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* edit = qobject_cast<QLineEdit*>(watched);
        if (edit != nullptr) {
            return ValueEditKeyPress(*edit, *static_cast<QKeyEvent*>(event));
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool TTehForm::ValueEditKeyPress(QLineEdit& edit, QKeyEvent& event) {
    // Clipboard shortcuts do nothing in a value field.
    if (event.matches(QKeySequence::Paste) || event.matches(QKeySequence::Copy) ||
        event.matches(QKeySequence::Cut)) {
        return true;
    }
    // Moving between controls is not typing.
    if (event.key() == Qt::Key_Tab || event.key() == Qt::Key_Backtab) {
        return false;
    }
    // Control with a character key types a control character, which is discarded (undo and select-all
    // shortcuts included); Control with a movement key still moves.
    const int key = event.key();
    if ((event.modifiers() & Qt::ControlModifier) != 0 && key >= 0x20 && key < 0x7F) {
        return true;
    }
    const QString typed = event.text();
    if (typed.isEmpty()) {
        return false; // keys that type nothing (arrows, Home, Delete) keep their editing role
    }
    QString accepted;
    for (const char32_t ch : typed.toUcs4()) {
        if (const std::optional<char32_t> kept = NumericKeyFilter(ch)) {
            accepted += QString::fromUcs4(&*kept, 1);
        }
    }
    if (accepted == typed) {
        return false; // taken unchanged: the edit handles the key itself
    }
    if (!accepted.isEmpty()) {
        edit.insert(accepted);
    }
    return true;
}

#include "ui/TechKoefUnit.h"

#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QShowEvent>

#include "coef/CoefBlock.h"
#include "coef/CoefFile.h"
#include "coef/DeviceMap.h"
#include "coef/TextFile.h"
#include "coef/ValueText.h"
#include "link/ModbusUnit.h"
#include "ui/ErrorReport.h"
#include "ui/KeyFilter.h"
#include "ui/PaswKoefUnit.h"
#include "ui/Placement.h"
#include "ui/Prompts.h"
#include "ui_TechKoefUnit.h"

namespace {
// What this window's sequences do differently from the channel limits window's.
// The second identify request follows the first at once, its wait after it.
constexpr TIdentifyRetry kIdentifyRetry = TTechnologicalTiming::kIdentifyRetry;
// The wait after each slot read and after each slot write.
constexpr int kSlotReadWaitMs = TTechnologicalTiming::kSlotReadWaitMs;
constexpr int kSlotWriteWaitMs = TTechnologicalTiming::kSlotWriteWaitMs;
// The address byte D1 of the address slot stands at byte 4 of the slot's reply.
constexpr std::size_t kAddressReplyByte = 4;

QString FromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

// The text file code takes names in UTF-8 on every system (the Win32 code widens them to UTF-16), so
// any name works, not only those the ANSI code page of Windows can spell.
std::string FileSystemName(const QString& fileName) {
    return fileName.toStdString();
}
} // namespace

TTehForm::TTehForm(IPrompts& prompts, TModbusExchange& exchange, TCoefBlock& block,
                   TPaswKoefForm& passwordDialog, const QWidget& mainWindow, TRecordStore* records,
                   QWidget* parent)
    : QWidget(parent), prompts_(prompts), exchange_(exchange), block_(block), passwordDialog_(passwordDialog),
      mainWindow_(mainWindow), ui_(std::make_unique<Ui::TTehForm>()), commands_(exchange),
      sequencePanel_(prompts), sequence_(exchange, block, sequencePanel_),
      recorder_(records, prompts, exchange) {
    ui_->setupUi(this);
    // A write's first record goes into the store before its first request.
    sequence_.BeforeFirstWrite = [this] {
        recorder_.RecordWriteBegun(TRecordOperation::Write, block_.CoefImage, file_);
    };
    sequencePanel_.Attach(*ui_->Panel1, *ui_->ProgressBar1);
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

std::array<QLineEdit*, rq7map::kValueSlots> TTehForm::ValueEdits() const {
    return {ui_->KoefEdit1, ui_->KoefEdit2, ui_->KoefEdit3, ui_->KoefEdit4, ui_->Edit21, ui_->Edit22,
            ui_->Edit23,    ui_->Edit24,    ui_->Edit31,    ui_->Edit32,    ui_->Edit33, ui_->Edit34};
}

void TTehForm::SetWriteButtonAllowed(bool allowed) {
    commands_.SetOffered(*ui_->WriteButton, allowed);
}

void TTehForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        CentreOver(*this, mainWindow_);
    }
}

// ---------------------------------------------------------------------------------------------
// Opening and reading

void TTehForm::N5Click() {
    const TExchangeGuard guard = commands_.Begin();
    if (!guard.Acquired()) {
        return;
    }
    passwordDialog_.PasswordMode = 1;
    // Only a right password typed in this showing opens the window: a grant left over from an earlier
    // showing does not count when this one was closed without a check.
    passwordDialog_.AccessGranted = 0;
    prompts_.ExecDialog(passwordDialog_);
    if (passwordDialog_.AccessGranted != 1) {
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
    ui_->Label20->setText(QStringLiteral(" Чтение коэффициентов "));
    shownTexts_ = {};
    file_.reset();
    if (!sequence_.Identify(kIdentifyRetry)) {
        recorder_.ForgetRead();
        hide();
        return;
    }
    const bool complete =
        sequence_.ReadSlots(kSlotReadWaitMs, [this](int k) { ShowSlot(k); }).End == TSlotLoopEnd::Complete;
    if (complete) {
        sequence_.CheckRead();
        recorder_.RecordRead(block_, block_.VerifyReadImage());
    } else {
        recorder_.ForgetRead();
    }
    setEnabled(true);
    SetWriteButtonAllowed(true);
}

QLineEdit* TTehForm::SlotEdit(int k) const {
    if (k >= 1 && k <= rq7map::kValueSlots) {
        return ValueEdits().at(static_cast<std::size_t>(k - 1));
    }
    if (k == rq7map::kFactoryNumberSlot) {
        return ui_->ZavodEdit;
    }
    if (k == rq7map::kAddressSlot) {
        return ui_->AdrEdit;
    }
    return nullptr;
}

void TTehForm::ShowSlot(int k) {
    // The text the read puts into the slot's field stands for the bytes just read.
    const auto noteShown = [this, k] {
        if (const QLineEdit* edit = SlotEdit(k)) {
            shownTexts_.at(static_cast<std::size_t>(k)) = edit->text();
        }
    };
    ShowSlotText(k);
    noteShown();
}

void TTehForm::ShowSlotText(int k) {
    if (k <= rq7map::kValueSlots) {
        ValueEdits()
            .at(static_cast<std::size_t>(k - 1))
            ->setText(FromUtf8(ValueText(block_.LastValue, SlotDecimals(k))));
    } else if (k == rq7map::kFactoryNumberSlot) {
        ui_->ZavodEdit->setText(FromUtf8(FactoryNumberText(block_.FactoryNumber)));
    } else if (k == rq7map::kRecordDateSlot) {
        ui_->DataLabel->setText(FromUtf8(block_.RecordDateText));
    } else if (k == rq7map::kAddressSlot && exchange_.ReplyText.size() > kAddressReplyByte) {
        const auto address = static_cast<unsigned char>(exchange_.ReplyText[kAddressReplyByte]);
        ui_->AdrEdit->setText(QString::number(address));
    }
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

bool TTehForm::OfferToSave() {
    if (!prompts_.AskYesNo(QStringLiteral("Сохранить данные на диске?"), QMessageBox::Question)) {
        return true;
    }
    SaveDialog1.FileName = ui_->ZavodEdit->text();
    const QString chosen =
        prompts_.AskSaveFileName(this, SaveDialog1.FileName, SaveDialog1.Filter, SaveDialog1.DefaultExt);
    // A cancelled dialog gives no name at all; a confirmed one with an empty name ends the command.
    if (chosen.isNull()) {
        return true;
    }
    if (chosen.isEmpty()) {
        return false;
    }
    SaveDialog1.FileName = chosen;
    if (QFileInfo(chosen).suffix().isEmpty()) {
        SaveDialog1.FileName += QLatin1Char('.') + SaveDialog1.DefaultExt;
    }
    SaveCoefficientFile(SaveDialog1.FileName);
    file_ = RecordedFileOf(FileSystemName(SaveDialog1.FileName));
    return true;
}

TTechTexts TTehForm::CurrentTechTexts() const {
    TTechTexts texts;
    const std::array<QLineEdit*, rq7map::kValueSlots> valueEdits = ValueEdits();
    for (std::size_t i = 0; i < valueEdits.size(); ++i) {
        texts.Values.at(i) = valueEdits.at(i)->text().toStdString();
    }
    texts.ZavodEdit = ui_->ZavodEdit->text().toStdString();
    texts.AdrEdit = ui_->AdrEdit->text().toStdString();
    return texts;
}

void TTehForm::WriteCoefficients() {
    // An address the adapter cannot take is refused before anything is saved or sent (the build checks
    // it the same way); a text that is not an integer raises its conversion error here.
    if (!DeviceAddressFromText(ui_->AdrEdit->text().toStdString())) {
        prompts_.ShowMessage(QStringLiteral("Проверьте данные"));
        return;
    }
    passwordDialog_.PasswordMode = 0;
    if (!OfferToSave()) {
        return;
    }

    // Only the dialog's OK with the right password and a Yes to programming in this showing let the
    // write go on: a confirmation left over from an earlier write does not count when this showing was
    // closed without its check.
    passwordDialog_.ProgramConfirmed = 0;
    prompts_.ExecDialog(passwordDialog_);
    if (passwordDialog_.PaswKoefEdit()->text() != TPaswKoefForm::SecondPassword ||
        passwordDialog_.ProgramConfirmed != 1) {
        ui_->Panel1->hide();
        return;
    }

    ui_->Label20->setText(QStringLiteral("Внимание! Идет запись коэффициентов ППЗУ!"));
    ui_->Panel1->show();
    // A build that fails leaves the panel shown. Values nobody changed go back with the bytes the
    // adapter holds.
    const std::optional<std::uint8_t> address = DeviceAddressFromText(ui_->AdrEdit->text().toStdString());
    block_.BuildImageFromTech(CurrentTechTexts(), address ? KeptSlots(*address) : TKeptSlots{});
    if (block_.ImageError != 0) {
        prompts_.ShowMessage(QStringLiteral("Проверьте данные"));
        return;
    }
    sequencePanel_.ForgetLastMessage();
    const TWriteEnd end = sequence_.WriteBlock(kSlotWriteWaitMs);
    const TWriteReport& written = sequence_.LastWrite();
    recorder_.RecordWriteEnded(TRecordOperation::Write, block_.CoefImage, written, end,
                               WriteEndMessage(end, sequencePanel_.LastMessage()), file_);
    if (end == TWriteEnd::Stopped) {
        return;
    }
    for (int k = 1; k <= rq7map::kAddressSlot; ++k) {
        // A slot not sent keeps the text of the bytes it still holds.
        const QLineEdit* edit = SlotEdit(k);
        if (edit != nullptr && written.States.at(static_cast<std::size_t>(k)) == TSlotState::New) {
            shownTexts_.at(static_cast<std::size_t>(k)) = edit->text();
        }
    }
}

TKeptSlots TTehForm::KeptSlots(std::uint8_t address) const {
    std::array<bool, rq7map::kSlotCount + 1> changed{};
    for (int k = 1; k <= rq7map::kFactoryNumberSlot; ++k) {
        const QLineEdit* edit = SlotEdit(k);
        const std::optional<QString>& shown = shownTexts_.at(static_cast<std::size_t>(k));
        changed.at(static_cast<std::size_t>(k)) = edit != nullptr && (!shown || edit->text() != *shown);
    }
    TKeptSlots kept = KeptSlotsFor(block_.KnownSlots, changed, address);
    // After the initial values or a file, the address slot too is what is shown.
    const std::optional<QString>& shownAddress = shownTexts_.at(rq7map::kAddressSlot);
    if (!shownAddress || ui_->AdrEdit->text() != *shownAddress) {
        kept[rq7map::kAddressSlot].reset();
    }
    return kept;
}

// ---------------------------------------------------------------------------------------------
// Initial values and the coefficient file

void TTehForm::NachButtonClick() {
    static const std::array<const char*, rq7map::kValueSlots> kInitialValues = {
        "1010", "630", "16", "4", "85", "-40", "16", "4", "200", "1.5", "16", "4"};
    const TExchangeGuard guard = commands_.Begin();
    if (!guard.Acquired()) {
        return;
    }
    const std::array<QLineEdit*, rq7map::kValueSlots> valueEdits = ValueEdits();
    for (std::size_t i = 0; i < valueEdits.size(); ++i) {
        valueEdits[i]->setText(QString::fromLatin1(kInitialValues[i]));
    }
    ui_->ZavodEdit->setText(QStringLiteral("0101001"));
    ui_->AdrEdit->setText(QStringLiteral("1"));
    // What is shown now is what a write sends.
    shownTexts_ = {};
    file_.reset();
    SetWriteButtonAllowed(true);
}

std::vector<std::string> TTehForm::CoefficientFileLines() const {
    TCoefFileTexts texts;
    texts.Address = ui_->AdrEdit->text().toStdString();
    texts.SavingTime = SavingTimeText(block_.LocalNow());
    texts.FactoryNumber = ui_->ZavodEdit->text().toStdString();
    const std::array<QLineEdit*, rq7map::kValueSlots> valueEdits = ValueEdits();
    for (std::size_t i = 0; i < valueEdits.size(); ++i) {
        texts.Values.at(i) = valueEdits.at(i)->text().toStdString();
    }
    return CoefFileLines(texts);
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
    const QString chosen = prompts_.AskOpenFileName(this, OpenDialog1.Filter);
    if (chosen.isEmpty()) {
        return;
    }
    OpenDialog1.FileName = chosen;
    // Only the lines the window uses are read: a file of any size or shape loads at once.
    const TCoefFileTexts texts = ReadCoefFile(FileSystemName(chosen));
    // What is shown now is what a write sends.
    shownTexts_ = {};
    file_ = RecordedFileOf(FileSystemName(chosen));
    ui_->AdrEdit->setText(FromUtf8(texts.Address));
    ui_->DataLabel->setText(FromUtf8(texts.SavingTime));
    ui_->ZavodEdit->setText(FromUtf8(texts.FactoryNumber));
    const std::array<QLineEdit*, rq7map::kValueSlots> valueEdits = ValueEdits();
    for (std::size_t i = 0; i < valueEdits.size(); ++i) {
        valueEdits[i]->setText(FromUtf8(texts.Values.at(i)));
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

bool TTehForm::ValueEditKeyPress(QLineEdit& edit, const QKeyEvent& event) {
    return FilterKeyPress(edit, event, &NumericKeyFilter);
}

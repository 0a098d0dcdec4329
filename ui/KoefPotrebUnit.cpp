#include "ui/KoefPotrebUnit.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QShowEvent>
#include <optional>
#include <string>
#include <vector>

#include "coef/CoefBlock.h"
#include "coef/DeviceMap.h"
#include "coef/TextFile.h"
#include "coef/ValueText.h"
#include "link/ModbusUnit.h"
#include "ui/ErrorReport.h"
#include "ui/KeyFilter.h"
#include "ui/PaswKoefUnit.h"
#include "ui/Placement.h"
#include "ui/Prompts.h"
#include "ui_KoefPotrebUnit.h"

namespace {
// What this window's sequences do differently from the technological mode window's.
// The 50 ms wait comes before the second identify request.
constexpr TIdentifyRetry kIdentifyRetry = TLimitsTiming::kIdentifyRetry;
// The wait after each slot read: the opening read's and the read command's.
constexpr int kOpeningReadWaitMs = TLimitsTiming::kOpeningReadWaitMs;
constexpr int kRequestReadWaitMs = TLimitsTiming::kRequestReadWaitMs;
// The wait after each slot write.
constexpr int kSlotWriteWaitMs = TLimitsTiming::kSlotWriteWaitMs;
// Limits are shown and kept in the backup file with 2 decimals.
constexpr int kLimitDecimals = 2;

QString FromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}
std::string ToUtf8(const QString& text) {
    return text.toStdString();
}

} // namespace

const char* const TKoefForPotreb::BackupFileName = "tmp.dat";

TKoefForPotreb::TKoefForPotreb(IPrompts& prompts, TModbusExchange& exchange, TCoefBlock& block,
                               QWidget& mainWindow, std::function<TPaswKoefForm&()> passwordDialog,
                               TWriteJournal& journal, TRecordStore* records, QWidget* parent)
    : QWidget(parent), prompts_(prompts), exchange_(exchange), block_(block), mainWindow_(mainWindow),
      passwordDialog_(std::move(passwordDialog)), ui_(std::make_unique<Ui::TKoefForPotreb>()),
      commands_(exchange), sequencePanel_(prompts), sequence_(exchange, block, sequencePanel_),
      recorder_(records, prompts, exchange) {
    ui_->setupUi(this);
    sequencePanel_.Attach(*ui_->Panel2, *ui_->ProgressBar1);
    sequence_.SetJournal(&journal);
    // A write's first record goes into the store before its first request (the address register).
    sequence_.BeforeFirstWrite = [this] {
        recorder_.RecordWriteBegun(TRecordOperation::Limits, block_.CoefImage, std::nullopt);
    };
    // While any device sequence runs (here, in the main menu or in the technological mode window), none
    // of the three commands may act. The write is offered once a read or a restore filled the limits.
    commands_.AddButton(*ui_->ReadButton);
    commands_.AddButton(*ui_->WriteButton, false);
    commands_.AddButton(*ui_->IschodButton);

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
    if (!event->spontaneous()) {
        CentreOver(*this, mainWindow_);
    }
}

void TKoefForPotreb::closeEvent(QCloseEvent* event) {
    FormClose();
    QWidget::closeEvent(event);
}

void TKoefForPotreb::FormClose() {
    mainWindow_.show();
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
    if (!rq7map::IsLimitSlot(k)) {
        return nullptr;
    }
    // Two limits per channel, four slots apart.
    QLineEdit* const edits[] = {ui_->Canal1_20, ui_->Canal1_4,  ui_->Canal2_20,
                                ui_->Canal2_4,  ui_->Canal3_20, ui_->Canal3_4};
    const int channel = (k - 1) / 4;
    return edits[channel * 2 + (k - 1) % 4];
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
    const bool opening = kind == TReadKind::Opening;
    if (!sequence_.Identify(kIdentifyRetry)) {
        recorder_.ForgetRead();
        if (opening) {
            close();
        }
        return;
    }

    // The backup file is emptied at once and takes each limit line as it is read, so a read that stops
    // (or a program that ends) leaves the lines of the slots read before. It is closed however the read
    // ends.
    std::optional<TTextFileWriter> backup;
    if (opening) {
        backup.emplace(BackupFileName);
    }
    // The address of the adapter that answered.
    ui_->AdrEdit->setText(QString::number(static_cast<unsigned char>(exchange_.ReplyText[0])));

    ui_->Label8->setText(QStringLiteral(" Чтение коэффициентов "));
    shownTexts_ = {};
    const TSlotLoopResult read =
        sequence_.ReadSlots(opening ? kOpeningReadWaitMs : kRequestReadWaitMs, [&](int k) {
            const std::optional<std::string> backupLine = ShowSlot(k, kind);
            if (backup && backupLine) {
                backup->WriteLine(*backupLine);
            }
        });
    const bool complete = read.End == TSlotLoopEnd::Complete;

    commands_.SetOffered(*ui_->WriteButton, true);
    if (backup) {
        backup->Close();
    }
    if (complete) {
        sequence_.CheckRead();
        recorder_.RecordRead(block_, block_.VerifyReadImage());
    } else {
        recorder_.ForgetRead();
    }
    setEnabled(true);
}

std::optional<std::string> TKoefForPotreb::ShowSlot(int k, TReadKind kind) {
    // Slots 13 and 14 leave the value last read as it was; their lines repeat it.
    const std::string text = ValueText(block_.LastValue, kLimitDecimals);
    if (QLineEdit* edit = LimitEdit(k)) {
        edit->setText(FromUtf8(text));
        shownTexts_.at(static_cast<std::size_t>(k)) = edit->text();
        return text;
    }
    if (k == rq7map::kFactoryNumberSlot) {
        ui_->ZavodNEdit->setText(FromUtf8(FactoryNumberText(block_.FactoryNumber)));
        shownTexts_.at(static_cast<std::size_t>(k)) = ui_->ZavodNEdit->text();
        return text;
    }
    if (k == rq7map::kRecordDateSlot) {
        if (kind == TReadKind::Opening) {
            // The opening read's date lies over the read command's and hides it: once the front label
            // shows a date, nothing of the one behind is drawn (filling the front label instead would
            // stand out against a group box whose style shades its inside).
            ui_->DateLabel->setText(FromUtf8(block_.RecordDateText));
            ui_->DataZapLabel->setVisible(false);
        } else {
            ui_->DataZapLabel->setText(FromUtf8(block_.RecordDateText));
        }
        return text;
    }
    return std::nullopt;
}

void TKoefForPotreb::WriteButtonClick() {
    const TExchangeGuard guard = commands_.Begin();
    if (!guard.Acquired()) {
        return;
    }

    TPaswKoefForm& passwordDialog = passwordDialog_();
    passwordDialog.PasswordMode = 1;
    // Only a password confirmed with OK in this showing lets the write go on: a right password typed
    // and then abandoned by closing the dialog is no consent to change the adapter.
    passwordDialog.AccessGranted = 0;
    prompts_.ExecDialog(passwordDialog);
    if (passwordDialog.PaswKoefEdit()->text() != TPaswKoefForm::FirstPassword ||
        passwordDialog.AccessGranted != 1) {
        return;
    }

    // The whole block is built and checked before anything is sent, so bad input leaves the adapter
    // as it was: an address that is not an integer and a value beyond single precision raise their
    // errors here; an address the adapter's byte cannot hold and a text that is not a number end the
    // write with "Проверьте данные".
    const std::optional<std::uint8_t> address = DeviceAddressFromText(ToUtf8(ui_->AdrEdit->text()));
    if (!address) {
        prompts_.ShowMessage(QStringLiteral("Проверьте данные"));
        return;
    }
    block_.BuildImageFromLimits(CurrentLimitsTexts(), KeptSlots(*address));
    if (block_.ImageError != 0) {
        prompts_.ShowMessage(QStringLiteral("Проверьте данные"));
        return;
    }

    // The address register first, then the block; refused after a read with a wrong checksum that no
    // interrupted write of ours explains. Its messages are the sequence's.
    sequencePanel_.ForgetLastMessage();
    const TWriteEnd end = sequence_.WriteLimits(*address, kSlotWriteWaitMs, [this] {
        ui_->Panel2->show();
        ui_->Label8->setText(QStringLiteral("Внимание! Идет запись коэффициентов ППЗУ!"));
    });
    recorder_.RecordWriteEnded(TRecordOperation::Limits, block_.CoefImage, sequence_.LastWrite(), end,
                               WriteEndMessage(end, sequencePanel_.LastMessage()), std::nullopt);
    if (end != TWriteEnd::Refused && end != TWriteEnd::Stopped) {
        NoteShownTexts(sequence_.LastWrite());
    }
}

TKeptSlots TKoefForPotreb::KeptSlots(std::uint8_t address) const {
    // The slots the window does not show are never changed here.
    std::array<bool, rq7map::kSlotCount + 1> changed{};
    for (int k = 1; k <= rq7map::kFactoryNumberSlot; ++k) {
        const QLineEdit* edit = k == rq7map::kFactoryNumberSlot ? ui_->ZavodNEdit : LimitEdit(k);
        const std::optional<QString>& shown = shownTexts_.at(static_cast<std::size_t>(k));
        changed.at(static_cast<std::size_t>(k)) = edit != nullptr && (!shown || edit->text() != *shown);
    }
    return KeptSlotsFor(block_.KnownSlots, changed, address);
}

void TKoefForPotreb::NoteShownTexts(const TWriteReport& written) {
    for (int k = 1; k <= rq7map::kFactoryNumberSlot; ++k) {
        const QLineEdit* edit = k == rq7map::kFactoryNumberSlot ? ui_->ZavodNEdit : LimitEdit(k);
        // A slot not sent keeps the text of the bytes it still holds.
        if (edit != nullptr && written.States.at(static_cast<std::size_t>(k)) == TSlotState::New) {
            shownTexts_.at(static_cast<std::size_t>(k)) = edit->text();
        }
    }
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

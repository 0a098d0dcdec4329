#pragma once
// The channel limits window: shows and edits the two limits of each of the three channels, the factory
// number, the address and the recording date; reads the block on opening (keeping the limits found in
// the backup file "tmp.dat") and on request, restores the kept limits, and writes the block behind the
// first password.

#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "link/CoefSequence.h"
#include "ui/SequencePanel.h"
#include "ui/ServiceRecorder.h"
#include "ui/WindowCommands.h"

namespace Ui {
class TKoefForPotreb;
}
class IPrompts;
class TCoefBlock;
class TModbusExchange;
class TPaswKoefForm;
class TWriteJournal;
class TRecordStore;
class QKeyEvent;
class QLineEdit;
struct TLimitsTexts;

class TKoefForPotreb : public QWidget {
    Q_OBJECT
public:
    // The window opens centred over mainWindow and shows it again when it closes. The password dialog is
    // created after this window, so it is reached through passwordDialog when a write asks for it. The
    // journal keeps each write's found and built block before it begins. Complete reads and writes go into
    // the service record's store (nullptr: none is kept).
    TKoefForPotreb(IPrompts& prompts, TModbusExchange& exchange, TCoefBlock& block, QWidget& mainWindow,
                   std::function<TPaswKoefForm&()> passwordDialog, TWriteJournal& journal,
                   TRecordStore* records = nullptr, QWidget* parent = nullptr);
    ~TKoefForPotreb() override;

    // The backup file of the limits found on opening, in the working directory.
    static const char* const BackupFileName;

    // The main window's command "Изм.границ пар-ров": shows the window, reads the block with the backup
    // file and enables the window. Refused while another device command runs.
    void N4Click();
    // The opening read: the block into the controls and the limits into the backup file. Runs inside the
    // exchange guard of its caller (N4Click).
    void ReadLimitsWithBackup();
    // "Чтение коэффициентов": the same read without the backup file.
    void ReadButtonClick();
    // "Запись коэффициентов": behind the first password, the address register and then the 16 slots.
    void WriteButtonClick();
    // "Восстановить исходные значения коэффициентов": the six limits of the backup file back into the edits.
    void IschodButtonClick();
    // The window closes (it is only hidden): the main window is made visible.
    void FormClose();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class TReadKind { Opening, OnRequest };

    // The read shared by the opening read and the read command.
    void ReadBlock(TReadKind kind);
    // Shows slot k, just read, and gives its backup file line, if it has one.
    std::optional<std::string> ShowSlot(int k, TReadKind kind);
    // The edit that shows slot k, or nullptr for a slot the window does not show as a limit.
    QLineEdit* LimitEdit(int k) const;
    TLimitsTexts CurrentLimitsTexts() const;
    // The slots a write takes as the adapter holds them: those the window does not show, and those whose
    // field still holds the text a read or a write put there; the address slot while the address stays.
    TKeptSlots KeptSlots(std::uint8_t address) const;
    // Notes the texts of the limits and the factory number whose slots a write stored as the ones the
    // adapter holds.
    void NoteShownTexts(const TWriteReport& written);
    // Key filters; true when the key press has been dealt with (taken in changed form or discarded).
    // Canal1_20KeyPress serves all six limit edits.
    static bool Canal1_20KeyPress(QLineEdit& edit, const QKeyEvent& event);
    static bool ZavodNEditKeyPress(QLineEdit& edit, const QKeyEvent& event);

    IPrompts& prompts_;
    TModbusExchange& exchange_;
    TCoefBlock& block_;
    QWidget& mainWindow_;
    std::function<TPaswKoefForm&()> passwordDialog_;
    std::unique_ptr<Ui::TKoefForPotreb> ui_;
    // The three buttons, refused while a device sequence runs.
    TWindowCommands commands_;
    TSequencePanel sequencePanel_;
    TCoefSequence sequence_;
    TServiceRecorder recorder_;
    // Per slot, the text a read or a write put into its field (limits and the factory number).
    std::array<std::optional<QString>, rq7map::kSlotCount + 1> shownTexts_{};
};

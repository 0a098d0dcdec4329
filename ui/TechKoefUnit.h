#pragma once
// The technological mode window: the whole coefficient block of the adapter, read, edited, reset to the
// initial values, saved to and loaded from a coefficient file, and written behind the second password.

#include <QString>
#include <QWidget>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "coef/CoefFile.h"
#include "coef/DeviceMap.h"
#include "link/CoefSequence.h"
#include "record/ServiceRecord.h"
#include "ui/SequencePanel.h"
#include "ui/ServiceRecorder.h"
#include "ui/WindowCommands.h"

struct TTechTexts;

namespace Ui {
class TTehForm;
}
class IPrompts;
class TCoefBlock;
class TModbusExchange;
class TPaswKoefForm;
class QKeyEvent;
class QLineEdit;
class TRecordStore;

// What a file dialog of the window is preset to; the dialog itself is shown through the prompts.
struct TFileDialogSettings {
    QString DefaultExt; // appended when the chosen name has no extension
    QString Filter;     // in the file dialog's filter form
    QString FileName;   // preset name, and the name last chosen
};

class TTehForm : public QWidget {
    Q_OBJECT
public:
    // The window opens centred over mainWindow. Its complete reads and its writes go into the service
    // record's store (nullptr: none is kept).
    TTehForm(IPrompts& prompts, TModbusExchange& exchange, TCoefBlock& block, TPaswKoefForm& passwordDialog,
             const QWidget& mainWindow, TRecordStore* records = nullptr, QWidget* parent = nullptr);
    ~TTehForm() override;

    // The main window's command "Технолог.режим": the first password, then the window and its read.
    void N5Click();
    // Reads the whole block from the adapter into the controls.
    void ReadButtonClick();
    // Offers to save the controls to a coefficient file, then writes the block behind the second password.
    void WriteButtonClick();
    // Fills the controls with the initial values.
    void NachButtonClick();
    // Fills the controls from a coefficient file.
    void ReadFileButtonClick();

    // The key filter of the twelve value edits (KoefEdit1KeyPress .. Edit34KeyPress are all alike).
    // True when the key was taken care of here (discarded, or its changed character inserted).
    static bool ValueEditKeyPress(QLineEdit& edit, const QKeyEvent& event);

    TFileDialogSettings SaveDialog1;
    TFileDialogSettings OpenDialog1;

    // The coefficient file's lines: address, saving time, factory number, then slots 1..12.
    static constexpr int kCoefficientFileLines = static_cast<int>(kCoefFileLines);

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The read and write sequences; the caller holds the exchange.
    void ReadCoefficients();
    void WriteCoefficients();
    // Shows slot k, just read, in its control, and notes its text as the one the adapter holds.
    void ShowSlot(int k);
    void ShowSlotText(int k);
    // The save step of the write: false when the command ends there (a confirmed empty name).
    bool OfferToSave();
    TTechTexts CurrentTechTexts() const;
    void SaveCoefficientFile(const QString& fileName);
    std::vector<std::string> CoefficientFileLines() const;
    // The value edits in slot order (slot k at index k - 1).
    std::array<QLineEdit*, rq7map::kValueSlots> ValueEdits() const;
    // The slots a write takes as the adapter holds them: those whose field still holds the text a read or
    // a write put there (the address slot: while the address stays).
    TKeptSlots KeptSlots(std::uint8_t address) const;
    // The field that shows slot k (1..13, 15), or nullptr.
    QLineEdit* SlotEdit(int k) const;
    // WriteButton is offered once a read or the initial values filled the controls.
    void SetWriteButtonAllowed(bool allowed);

    IPrompts& prompts_;
    TModbusExchange& exchange_;
    TCoefBlock& block_;
    TPaswKoefForm& passwordDialog_;
    const QWidget& mainWindow_;
    std::unique_ptr<Ui::TTehForm> ui_;
    // The four buttons, refused while a device sequence runs.
    TWindowCommands commands_;
    TSequencePanel sequencePanel_;
    TCoefSequence sequence_;
    TServiceRecorder recorder_;
    // The coefficient file the controls were last loaded from or saved to, as the record names it; none
    // after a read or the initial values.
    std::optional<TRecordedFile> file_;
    // Per slot, the text a read or a write put into its field; none after the initial values or a file.
    std::array<std::optional<QString>, rq7map::kSlotCount + 1> shownTexts_{};
};

#include "ui/TavixCPortSetup.h"

#include <QKeyEvent>
#include <QStringList>

#include "link/ComPort.h"
#include "ui/ComComboBox.h"
#include "ui/Prompts.h"
#include "ui/Rq7Unit.h"
#include "ui_TavixCPortSetup.h"

namespace {

// What the parity and flow-control lists show while the dialog is on screen, position by position.
const QStringList& ParityShown() {
    static const QStringList items = {QStringLiteral("Нет"), QStringLiteral("Нечет"), QStringLiteral("Чёт"),
                                      QStringLiteral("Маркер (1)"), QStringLiteral("Пробел (0)")};
    return items;
}
const QStringList& FlowControlShown() {
    static const QStringList items = {QStringLiteral("Аппаратный (RTS/CTS)"),
                                      QStringLiteral("Программн.(XON/XOFF)"), QStringLiteral("Нет"),
                                      QStringLiteral("Заказной")};
    return items;
}

// Replaces the items at positions 0.. by removing each and inserting the new text, then selects
// the position that was selected before (the replacing itself does not keep the selection).
void ReplaceItems(TComComboBox& list, const QStringList& items) {
    const int selected = list.currentIndex();
    for (int i = 0; i < items.size(); ++i) {
        list.removeItem(i);
        list.insertItem(i, items[i]);
    }
    list.setCurrentIndex(selected);
}

} // namespace

TTavixComSetupFrm::TTavixComSetupFrm(IPrompts& prompts, TRq7Form& mainWindow, const TSystemRoots& roots,
                                     QWidget* parent)
    : QDialog(parent), prompts_(prompts), mainWindow_(mainWindow),
      ui_(std::make_unique<Ui::TTavixComSetupFrm>()) {
    ui_->setupUi(this);
    // The port list is read now, as the dialog is created.
    ui_->Combo1->SetComProperty(TComComboBox::cpPort, roots);
    // A fixed dialog frame: no resizing, no minimise or maximise buttons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(290, 216);
    connect(ui_->Button1, &QPushButton::clicked, this, &TTavixComSetupFrm::Button1Click);
    connect(ui_->Button2, &QPushButton::clicked, this, &TTavixComSetupFrm::Button2Click);
}

TTavixComSetupFrm::~TTavixComSetupFrm() = default;

QGroupBox* TTavixComSetupFrm::GroupBox1() const {
    return ui_->GroupBox1;
}
TComComboBox* TTavixComSetupFrm::Combo1() const {
    return ui_->Combo1;
}
TComComboBox* TTavixComSetupFrm::SpeedCombo() const {
    return ui_->SpeedCombo;
}
TComComboBox* TTavixComSetupFrm::Combo3() const {
    return ui_->Combo3;
}
TComComboBox* TTavixComSetupFrm::StopBitsCombo() const {
    return ui_->StopBitsCombo;
}
TComComboBox* TTavixComSetupFrm::Combo5() const {
    return ui_->Combo5;
}
TComComboBox* TTavixComSetupFrm::Combo6() const {
    return ui_->Combo6;
}
QLabel* TTavixComSetupFrm::Label6() const {
    return ui_->Label6;
}
QPushButton* TTavixComSetupFrm::Button1() const {
    return ui_->Button1;
}
QPushButton* TTavixComSetupFrm::Button2() const {
    return ui_->Button2;
}

void TTavixComSetupFrm::keyPressEvent(QKeyEvent* event) {
    // Enter presses the focused button (both are auto-default in the form, so on "Отмена" it cancels)
    // and OK, the default button, anywhere else. No button answers the Escape key.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TTavixComSetupFrm::Button1Click() {
    done(1);
}

void TTavixComSetupFrm::Button2Click() {
    done(2);
}

void TTavixComSetupFrm::ShowLocalisedItems(bool localised) {
    ReplaceItems(*ui_->Combo5, localised ? ParityShown() : TComSelect::Items(TComComboBox::cpParity));
    ReplaceItems(*ui_->Combo6,
                 localised ? FlowControlShown() : TComSelect::Items(TComComboBox::cpFlowControl));
}

void TTavixComSetupFrm::ShowPortSetup(TComPort& port) {
    // Binding runs SyncWithPort on a list newly bound; all six are synchronised again after.
    TComComboBox* const lists[] = {ui_->Combo1,        ui_->SpeedCombo, ui_->Combo3,
                                   ui_->StopBitsCombo, ui_->Combo5,     ui_->Combo6};
    for (TComComboBox* list : lists) {
        list->SetComPort(&port);
    }
    for (TComComboBox* list : lists) {
        list->SyncWithPort();
    }

    ShowLocalisedItems(true);
    // Top-left corner 15 pixels right of and below the mouse cursor, even where that runs off the screen.
    const QPoint cursor = prompts_.CursorPos();
    move(cursor.x() + 15, cursor.y() + 15);
    const int result = prompts_.ExecDialog(*this);
    ShowLocalisedItems(false);

    if (result != 1) {
        return;
    }
    ApplyPortSetup(port);
    port.SetStoredGroups(63);
    port.SaveSettingsToRegistry(kSettingsKeyPath);
    mainWindow_.OpenComport();
}

void TTavixComSetupFrm::ApplyPortSetup(TComPort& port) {
    port.BeginSettingsBatch();
    try {
        port.SetPort(ui_->Combo1->Text().toStdString());
        port.SetBaudRate(StrToBaudRate(ui_->SpeedCombo->Text().toStdString()));
        port.SetDataBits(StrToDataBits(ui_->Combo3->Text().toStdString()));
        port.SetStopBits(StrToStopBits(ui_->StopBitsCombo->Text().toStdString()));
        port.Parity().SetBits(StrToParity(ui_->Combo5->Text().toStdString()));
        port.FlowControl().SetFlowControl(StrToFlowControl(ui_->Combo6->Text().toStdString()));
    } catch (...) {
        // The bracket is closed whatever happened; the first error is the one reported.
        try {
            port.EndSettingsBatch();
        } catch (...) {
        }
        throw;
    }
    port.EndSettingsBatch();
}

#pragma once
// The port setup dialog: lets the user choose the serial port, shows the port's other line settings
// without letting them change, and on OK applies the choice, stores the settings and opens the port.

#include <QDialog>
#include <memory>

namespace Ui {
class TTavixComSetupFrm;
}
class IPrompts;
class TRq7Form;
struct TSystemRoots;
class TComPort;
class TComComboBox;
class QGroupBox;
class QLabel;
class QPushButton;

class TTavixComSetupFrm : public QDialog {
    Q_OBJECT
public:
    // Fills the lists (the port list is read from the system, which can raise "Registry error";
    // the dialog is then not created). The ports are those found under the roots. After new settings
    // are stored, the main window opens the port.
    TTavixComSetupFrm(IPrompts& prompts, TRq7Form& mainWindow, const TSystemRoots& roots,
                      QWidget* parent = nullptr);
    ~TTavixComSetupFrm() override;

    // The key under which the port's settings are stored.
    static constexpr const char* kSettingsKeyPath = "\\Software\\Fendral\\QUORB\\Comport Settings";

    // Shows the dialog for the port; on OK applies the choice, stores the settings and opens the port.
    void ShowPortSetup(TComPort& port);
    // Copies the dialog's list texts into the port inside one update bracket.
    void ApplyPortSetup(TComPort& port);

    // OK and Cancel close the dialog with these results.
    void Button1Click();
    void Button2Click();

    QGroupBox* GroupBox1() const;
    TComComboBox* Combo1() const;
    TComComboBox* SpeedCombo() const;
    TComComboBox* Combo3() const;
    TComComboBox* StopBitsCombo() const;
    TComComboBox* Combo5() const;
    TComComboBox* Combo6() const;
    QLabel* Label6() const;
    QPushButton* Button1() const;
    QPushButton* Button2() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Puts the Russian items (true) or the text forms (false) into the parity and flow-control
    // lists, keeping the selected positions.
    void ShowLocalisedItems(bool localised);

    IPrompts& prompts_;
    TRq7Form& mainWindow_;
    std::unique_ptr<Ui::TTavixComSetupFrm> ui_;
};

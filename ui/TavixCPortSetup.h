#pragma once
// The port setup dialog.

#include <QDialog>

class TRq7Program;
class TComPort;

class TTavixComSetupFrm : public QDialog {
    Q_OBJECT
public:
    explicit TTavixComSetupFrm(TRq7Program& program, QWidget* parent = nullptr);
    ~TTavixComSetupFrm() override;

    // Shows the dialog for the port; on OK applies the choice, stores the settings and opens the port.
    void ShowPortSetup(TComPort& port);
    // Copies the dialog's list texts into the port.
    void ApplyPortSetup(TComPort& port);

private:
    TRq7Program& program_;
};

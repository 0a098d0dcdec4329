#pragma once
// The access password dialog.

#include <QDialog>

class TRq7Program;

class TPaswKoefForm : public QDialog {
    Q_OBJECT
public:
    explicit TPaswKoefForm(TRq7Program& program, QWidget* parent = nullptr);
    ~TPaswKoefForm() override;

    // 1 selects the first mode (first password, grants access); any other value the second mode.
    int PasswordMode = 0;
    int AccessGranted = 0;
    int ProgramConfirmed = 0;

private:
    TRq7Program& program_;
};

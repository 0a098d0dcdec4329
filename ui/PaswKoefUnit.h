#pragma once
// The access password dialog: asks for the first password before the technological mode window opens
// or the channel limits are written (first mode), and for the second password before a whole block is
// programmed into the adapter (second mode).

#include <QDialog>
#include <memory>

namespace Ui {
class TPaswKoefForm;
}
class IPrompts;
class QLabel;
class QLineEdit;
class QPushButton;

class TPaswKoefForm : public QDialog {
    Q_OBJECT
public:
    explicit TPaswKoefForm(IPrompts& prompts, QWidget* parent = nullptr);
    ~TPaswKoefForm() override;

    // The two passwords; a typed text matches only when it is exactly equal.
    static const QString FirstPassword;
    static const QString SecondPassword;

    // 1 selects the first mode (first password, grants access); any other value the second mode.
    int PasswordMode = 0;
    // 1 after a right first-mode password; every OK in the second mode clears it, a wrong first-mode
    // password leaves it as it was.
    int AccessGranted = 0;
    // 1 when a second-mode password was right and programming was confirmed; every OK clears it first.
    int ProgramConfirmed = 0;

    // On every showing: the edit starts empty.
    void FormShow();
    // OK: checks the typed text in the current mode and closes the dialog.
    void Button1Click();

    QLabel* PaswKoefLabel() const;
    QLineEdit* PaswKoefEdit() const;
    QPushButton* Button1() const;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    IPrompts& prompts_;
    std::unique_ptr<Ui::TPaswKoefForm> ui_;
};

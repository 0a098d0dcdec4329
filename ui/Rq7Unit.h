#pragma once
// The main window: a menu, the opening of the port, the additional mode and the exit.

#include <QMainWindow>
#include <memory>

namespace Ui {
class TRq7Form;
}
class TRq7Program;
class QAction;
class QMenu;

class TRq7Form : public QMainWindow {
    Q_OBJECT
public:
    explicit TRq7Form(TRq7Program& program, QWidget* parent = nullptr);
    ~TRq7Form() override;

    // Opens the port with DTR and RTS held on and no events; reports a failure itself.
    void OpenComport();
    // Switches the adapter into byte-by-byte translation and reports the outcome.
    void SwitchToByteTranslation();

    void FormShow();
    void N2Click();
    void N4Click();
    void N5Click();
    void N6Click();
    void N7Click();

    // Disables the device commands of the menu while a device command runs.
    void ConnectBusyGuard();

    QMenu* N1() const;
    QMenu* N3() const;
    QAction* N2() const;
    QAction* N4() const;
    QAction* N5() const;
    QAction* N6() const;
    QAction* N7() const;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    TRq7Program& program_;
    std::unique_ptr<Ui::TRq7Form> ui_;
    bool shown_ = false;
};

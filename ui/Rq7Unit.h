#pragma once
// The main window: a menu, the opening of the port, the additional mode and the exit.

#include <QMainWindow>
#include <QTimer>
#include <functional>
#include <memory>

#include "ui/ServiceRecorder.h"

namespace Ui {
class TRq7Form;
}
class IPrompts;
class TModbusExchange;
class TQuorbDataModule;
class TTavixComSetupFrm;
class TRecordStore;
class QAction;
class QMenu;

// What the menu opens: the windows created after the main window.
struct TMainMenuCommands {
    // Makes the port setup dialog for one showing ("Настройка порта").
    std::function<TTavixComSetupFrm&()> NewPortSetupDialog;
    // The channel limits window's and the technological mode window's opening commands.
    std::function<void()> OpenLimitsWindow;
    std::function<void()> OpenTechnologicalWindow;
    // The journal window ("Журнал"); it does not talk to the adapter.
    std::function<void()> OpenJournal;
};

class TRq7Form : public QMainWindow {
    Q_OBJECT
public:
    // While a device command runs, the menu commands that talk to the adapter are disabled, and the
    // exit (the menu's, the window's close button's, the application's) waits for the command to end
    // with every window left up, then ends the program. The translation switch goes into the service
    // record's store (nullptr: none is kept).
    TRq7Form(IPrompts& prompts, TQuorbDataModule& dataModule, TModbusExchange& exchange,
             TMainMenuCommands menu, TRecordStore* records = nullptr, QWidget* parent = nullptr);
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
    void N8Click();

    QMenu* N1() const;
    QMenu* N3() const;
    QAction* N2() const;
    QAction* N4() const;
    QAction* N5() const;
    QAction* N6() const;
    QAction* N7() const;
    QAction* N8() const;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Ends the program that was asked to end while a device command ran, once that command has
    // returned and no message of it is still open.
    Q_INVOKABLE void FinishPendingExit();

    IPrompts& prompts_;
    TQuorbDataModule& dataModule_;
    TModbusExchange& exchange_;
    TMainMenuCommands menu_;
    TServiceRecorder recorder_;
    std::unique_ptr<Ui::TRq7Form> ui_;
    bool shown_ = false;
    // The program was asked to end while a device command ran.
    bool exitPending_ = false;
    // Looks again while the ended command's last message is open.
    QTimer pendingExitRecheck_;
};

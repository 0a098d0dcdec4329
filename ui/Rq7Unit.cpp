#include "ui/Rq7Unit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QPointer>
#include <QShowEvent>

#include "link/ComPort.h"
#include "link/ConsoleControl.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "link/StopEvent.h"
#include "link/Translation.h"
#include "ui/ErrorReport.h"
#include "ui/Prompts.h"
#include "ui/TavixCPortSetup.h"
#include "ui_Rq7Unit.h"

namespace {
// How often an exit that waits for a command's last message looks again.
constexpr int kPendingExitRecheckMs = 200;
} // namespace

TRq7Form::TRq7Form(IPrompts& prompts, TQuorbDataModule& dataModule, TModbusExchange& exchange,
                   TMainMenuCommands menu, TRecordStore* records, QWidget* parent)
    : QMainWindow(parent), prompts_(prompts), dataModule_(dataModule), exchange_(exchange),
      menu_(std::move(menu)), recorder_(records, prompts, exchange), ui_(std::make_unique<Ui::TRq7Form>()) {
    ui_->setupUi(this);
    // The form's design position; the form description gives only its size.
    move(461, 294);
    connect(ui_->N2, &QAction::triggered, this,
            [this, &prompts] { RunReported(prompts, [this] { N2Click(); }); });
    connect(ui_->N4, &QAction::triggered, this,
            [this, &prompts] { RunReported(prompts, [this] { N4Click(); }); });
    connect(ui_->N5, &QAction::triggered, this,
            [this, &prompts] { RunReported(prompts, [this] { N5Click(); }); });
    connect(ui_->N6, &QAction::triggered, this,
            [this, &prompts] { RunReported(prompts, [this] { N6Click(); }); });
    connect(ui_->N7, &QAction::triggered, this,
            [this, &prompts] { RunReported(prompts, [this] { N7Click(); }); });
    connect(ui_->N8, &QAction::triggered, this,
            [this, &prompts] { RunReported(prompts, [this] { N8Click(); }); });

    // While a device command runs, the menu commands that would talk to the adapter (or reopen its
    // port) are refused. The exchange may outlive the window.
    const QPointer<TRq7Form> self(this);
    exchange_.AddBusyListener([self](bool busy) {
        if (self.isNull()) {
            return;
        }
        for (QAction* action : {self->ui_->N2, self->ui_->N4, self->ui_->N5, self->ui_->N7}) {
            action->setEnabled(!busy);
        }
        if (!busy && self->exitPending_) {
            // From the message loop, once the command that held the exchange has returned.
            QMetaObject::invokeMethod(self.data(), "FinishPendingExit", Qt::QueuedConnection);
        }
    });
    // The application asked to quit (by the system, the session) while a command runs waits as well.
    QCoreApplication::instance()->installEventFilter(this);
    pendingExitRecheck_.setSingleShot(true);
    pendingExitRecheck_.setInterval(kPendingExitRecheckMs);
    connect(&pendingExitRecheck_, &QTimer::timeout, this, &TRq7Form::FinishPendingExit);
}

TRq7Form::~TRq7Form() = default;

QMenu* TRq7Form::N1() const {
    return ui_->N1;
}
QMenu* TRq7Form::N3() const {
    return ui_->N3;
}
QAction* TRq7Form::N2() const {
    return ui_->N2;
}
QAction* TRq7Form::N4() const {
    return ui_->N4;
}
QAction* TRq7Form::N5() const {
    return ui_->N5;
}
QAction* TRq7Form::N6() const {
    return ui_->N6;
}
QAction* TRq7Form::N7() const {
    return ui_->N7;
}
QAction* TRq7Form::N8() const {
    return ui_->N8;
}

void TRq7Form::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shown_ && !event->spontaneous()) {
        shown_ = true;
        FormShow();
    }
}

void TRq7Form::FormShow() {
    OpenComport();
}

void TRq7Form::closeEvent(QCloseEvent* event) {
    if (exchange_.Busy()) {
        // A device command is running, a write perhaps half done: the windows stay up so the user sees
        // it end (a cable pulled now would leave the adapter's block half written), and the program
        // ends after it.
        exitPending_ = true;
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
    if (event->isAccepted()) {
        // Closing the main window ends the program, whatever other windows are open.
        QCoreApplication::quit();
    }
}

bool TRq7Form::eventFilter(QObject* watched, QEvent* event) {
    // Quitting would close every window at once while the command went on unseen.
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance() && exchange_.Busy()) {
        exitPending_ = true;
        event->ignore();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TRq7Form::FinishPendingExit() {
    if (!exitPending_ || exchange_.Busy()) {
        return; // another command took the exchange first: its end brings this back
    }
    if (QApplication::activeModalWidget() != nullptr) {
        // The ended command's last message (the general error report) is still open: ending now would
        // take it away unread.
        pendingExitRecheck_.start();
        return;
    }
    exitPending_ = false;
    close();
}

void TRq7Form::OpenComport() {
    TComPort& port = dataModule_.ComPort;
    if (port.Connected()) {
        return;
    }
    try {
        // The new event takes the console handler over before the old one goes.
        dataModule_.RenewStopEvent();
        port.SetEvents(TComEvents{});
        port.FlowControl().SetControlDTR(dtrEnable);
        port.FlowControl().SetControlRTS(rtsEnable);
        port.OpenPort();
    } catch (const std::exception&) {
        const QString text = QStringLiteral("Вероятно, выполняется другая программа,\r") +
                             QStringLiteral("открывшая порт ") + QString::fromStdString(port.Port()) +
                             QStringLiteral(". Закройте программу,\r") +
                             QStringLiteral("захватившую порт, или укажите другой порт.");
        prompts_.ShowError(QStringLiteral("Неудача при открытии порта"), text);
    }
}

void TRq7Form::N2Click() {
    TExchangeGuard guard(exchange_);
    if (!guard.Acquired()) {
        return;
    }
    menu_.NewPortSetupDialog().ShowPortSetup(dataModule_.ComPort);
}

void TRq7Form::N4Click() {
    menu_.OpenLimitsWindow();
}

void TRq7Form::N5Click() {
    menu_.OpenTechnologicalWindow();
}

void TRq7Form::N6Click() {
    close();
}

void TRq7Form::N7Click() {
    SwitchToByteTranslation();
}

void TRq7Form::N8Click() {
    if (menu_.OpenJournal) {
        menu_.OpenJournal();
    }
}

void TRq7Form::SwitchToByteTranslation() {
    TModbusExchange& exchange = exchange_;
    TExchangeGuard guard(exchange);
    if (!guard.Acquired()) {
        return;
    }
    const bool answered = ::SwitchToByteTranslation(exchange);
    const QString message = answered ? QStringLiteral("Адаптер переведен в режим побайтовой трансляции")
                                     : QStringLiteral("Попробуйте повторить");
    recorder_.RecordTranslation(answered, message.toStdString());
    prompts_.ShowMessage(message);
}

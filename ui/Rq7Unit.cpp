#include "ui/Rq7Unit.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QShowEvent>

#include "link/ComPort.h"
#include "link/ConsoleControl.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "link/StopEvent.h"
#include "ui/ErrorReport.h"
#include "ui/KoefPotrebUnit.h"
#include "ui/Prompts.h"
#include "ui/Rq7Program.h"
#include "ui/TavixCPortSetup.h"
#include "ui/TechKoefUnit.h"
#include "ui_Rq7Unit.h"

TRq7Form::TRq7Form(TRq7Program& program, QWidget* parent)
    : QMainWindow(parent), program_(program), ui_(std::make_unique<Ui::TRq7Form>()) {
    ui_->setupUi(this);
    // The form's design position; the form description gives only its size.
    move(461, 294);
    IPrompts& prompts = program_.Prompts;
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

void TRq7Form::ConnectBusyGuard() {
    // While a device command runs, the menu commands that would talk to the adapter (or reopen its
    // port) are refused.
    program_.Exchange->AddBusyListener([this](bool busy) {
        ui_->N2->setEnabled(!busy);
        ui_->N4->setEnabled(!busy);
        ui_->N5->setEnabled(!busy);
        ui_->N7->setEnabled(!busy);
    });
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
    QMainWindow::closeEvent(event);
    if (event->isAccepted()) {
        // Closing the main window ends the program, whatever other windows are open.
        QCoreApplication::quit();
    }
}

void TRq7Form::OpenComport() {
    TQuorbDataModule& dataModule = *program_.QuorbDataModule;
    TComPort& port = dataModule.ComPort;
    if (port.Connected()) {
        return;
    }
    try {
        // The new event takes the console handler over before the old one goes.
        auto stopEvent = std::make_unique<TStopEvent>();
        SetConsoleStopEvent(stopEvent.get());
        dataModule.StopEvent = std::move(stopEvent);
        port.SetEvents(TComEvents{});
        port.FlowControl().SetControlDTR(dtrEnable);
        port.FlowControl().SetControlRTS(rtsEnable);
        port.OpenPort();
    } catch (const std::exception&) {
        const QString text = QStringLiteral("Вероятно, выполняется другая программа,\r") +
                             QStringLiteral("открывшая порт ") + QString::fromStdString(port.Port()) +
                             QStringLiteral(". Закройте программу,\r") +
                             QStringLiteral("захватившую порт, или укажите другой порт.");
        program_.Prompts.ShowError(QStringLiteral("Неудача при открытии порта"), text);
    }
}

void TRq7Form::N2Click() {
    TExchangeGuard guard(*program_.Exchange);
    if (!guard.Acquired()) {
        return;
    }
    program_.NewPortSetupDialog().ShowPortSetup(program_.QuorbDataModule->ComPort);
}

void TRq7Form::N4Click() {
    program_.KoefForPotreb->N4Click();
}

void TRq7Form::N5Click() {
    program_.TehForm->N5Click();
}

void TRq7Form::N6Click() {
    close();
}

void TRq7Form::N7Click() {
    SwitchToByteTranslation();
}

void TRq7Form::SwitchToByteTranslation() {
    TModbusExchange& exchange = *program_.Exchange;
    TExchangeGuard guard(exchange);
    if (!guard.Acquired()) {
        return;
    }
    // Bytes left over from an earlier exchange are not the adapter's answer to this request. (On a
    // closed port the request's write is what fails.)
    TComPort& port = program_.QuorbDataModule->ComPort;
    const std::int32_t leftOver = port.Connected() ? port.BytesWaiting() : 0;
    // Register 373 := 1 switches the adapter into byte-by-byte translation.
    exchange.FrameAndSend({0x00, 0x06, 0x01, 0x75, 0x00, 0x01});
    exchange.CollectReplyUntilQuiet(leftOver);
    exchange.ExchangeState = static_cast<std::int32_t>(exchange.ReplyText.size());
    exchange.CheckReply();
    if (exchange.ExchangeState == esNoReply || exchange.ExchangeState == esBadChecksum) {
        program_.Prompts.ShowMessage(QStringLiteral("Попробуйте повторить"));
    } else {
        program_.Prompts.ShowMessage(QStringLiteral("Адаптер переведен в режим побайтовой трансляции"));
    }
}

#include "ui/Rq7Unit.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QPointer>
#include <QShowEvent>

#include "coef/DeviceMap.h"
#include "link/ComPort.h"
#include "link/ConsoleControl.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "link/StopEvent.h"
#include "ui/ErrorReport.h"
#include "ui/Prompts.h"
#include "ui/TavixCPortSetup.h"
#include "ui_Rq7Unit.h"

namespace {
std::uint8_t HighByte(std::uint16_t value) {
    return static_cast<std::uint8_t>(value >> 8);
}
std::uint8_t LowByte(std::uint16_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}
} // namespace

TRq7Form::TRq7Form(IPrompts& prompts, TQuorbDataModule& dataModule, TModbusExchange& exchange,
                   TMainMenuCommands menu, QWidget* parent)
    : QMainWindow(parent), prompts_(prompts), dataModule_(dataModule), exchange_(exchange),
      menu_(std::move(menu)), ui_(std::make_unique<Ui::TRq7Form>()) {
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
    });
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

void TRq7Form::SwitchToByteTranslation() {
    TModbusExchange& exchange = exchange_;
    TExchangeGuard guard(exchange);
    if (!guard.Acquired()) {
        return;
    }
    // Bytes left over from an earlier exchange are not the adapter's answer to this request. (On a
    // closed port the request's write is what fails.)
    TComPort& port = dataModule_.ComPort;
    const std::int32_t leftOver = port.Connected() ? port.BytesWaiting() : 0;
    // The translation register := 1 switches the adapter into byte-by-byte translation.
    using namespace rq7map;
    exchange.FrameAndSend({kSlaveAddress, kWriteRegister, HighByte(kTranslationRegister),
                           LowByte(kTranslationRegister), HighByte(kTranslationOn), LowByte(kTranslationOn)});
    exchange.CollectReplyUntilQuiet(leftOver);
    exchange.ExchangeState = static_cast<std::int32_t>(exchange.ReplyText.size());
    exchange.CheckReply();
    if (exchange.ExchangeState == esNoReply || exchange.ExchangeState == esBadChecksum) {
        prompts_.ShowMessage(QStringLiteral("Попробуйте повторить"));
    } else {
        prompts_.ShowMessage(QStringLiteral("Адаптер переведен в режим побайтовой трансляции"));
    }
}

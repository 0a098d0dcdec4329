#pragma once
// The one rule both coefficient windows follow while a device sequence runs (a read or a write in
// either window, or a device command of the main menu): every command of the window that changes its
// fields or opens a dialog is disabled, and a command that arrives all the same (a click queued before,
// a direct call of its handler) is refused. A window puts its command buttons here and starts every
// command through Begin().

#include <QPointer>
#include <memory>
#include <vector>

#include "link/ModbusUnit.h"

class QAbstractButton;

class TWindowCommands {
public:
    explicit TWindowCommands(TModbusExchange& exchange);
    TWindowCommands(const TWindowCommands&) = delete;
    TWindowCommands& operator=(const TWindowCommands&) = delete;

    // Puts a command's button under the rule, offered (see SetOffered) as the window says.
    void AddButton(QAbstractButton& button, bool offered = true);
    // Whether the window offers the command apart from any running sequence (the write button only
    // once the fields were filled). The button is enabled when it is offered and no sequence runs.
    void SetOffered(QAbstractButton& button, bool offered);

    // Starts one command. The guard holds the exchange for the whole command; it is not acquired while
    // another command runs, and the command must then return at once without changing anything.
    [[nodiscard]] TExchangeGuard Begin() const { return TExchangeGuard(exchange_); }

private:
    struct TButton {
        QPointer<QAbstractButton> Button;
        bool Offered = true;
    };
    // Shared with the exchange's busy listener, which may outlive this object.
    struct TState {
        std::vector<TButton> Buttons;
        bool Busy = false;
        void Update() const;
    };

    TModbusExchange& exchange_;
    std::shared_ptr<TState> state_;
};

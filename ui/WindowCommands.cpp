#include "ui/WindowCommands.h"

#include <QAbstractButton>

TWindowCommands::TWindowCommands(TModbusExchange& exchange)
    : exchange_(exchange), state_(std::make_shared<TState>()) {
    state_->Busy = exchange.Busy();
    exchange.AddBusyListener([weak = std::weak_ptr<TState>(state_)](bool busy) {
        if (const std::shared_ptr<TState> state = weak.lock()) {
            state->Busy = busy;
            state->Update();
        }
    });
}

void TWindowCommands::AddButton(QAbstractButton& button, bool offered) {
    state_->Buttons.push_back({&button, offered});
    state_->Update();
}

void TWindowCommands::SetOffered(QAbstractButton& button, bool offered) {
    for (TButton& entry : state_->Buttons) {
        if (entry.Button == &button) {
            entry.Offered = offered;
        }
    }
    state_->Update();
}

void TWindowCommands::TState::Update() const {
    for (const TButton& entry : Buttons) {
        if (entry.Button) {
            entry.Button->setEnabled(entry.Offered && !Busy);
        }
    }
}

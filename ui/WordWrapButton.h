#pragma once
// A push button whose caption wraps onto several lines when it is wider than the button.

#include <QPushButton>

class TWordWrapButton : public QPushButton {
    Q_OBJECT
public:
    explicit TWordWrapButton(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

#pragma once
// The channel limits window.

#include <QWidget>

class TRq7Program;

class TKoefForPotreb : public QWidget {
    Q_OBJECT
public:
    explicit TKoefForPotreb(TRq7Program& program, QWidget* parent = nullptr);
    ~TKoefForPotreb() override;

    // The main window's command "Изм.границ пар-ров".
    void N4Click();

private:
    TRq7Program& program_;
};

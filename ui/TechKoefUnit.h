#pragma once
// The technological mode window.

#include <QWidget>

class TRq7Program;

class TTehForm : public QWidget {
    Q_OBJECT
public:
    explicit TTehForm(TRq7Program& program, QWidget* parent = nullptr);
    ~TTehForm() override;

    // The main window's command "Технолог.режим".
    void N5Click();

private:
    TRq7Program& program_;
};

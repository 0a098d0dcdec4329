#pragma once
// The application object: Russian standard dialogs whatever the locale, and the general error
// report for a failure that escapes a command.

#include <QApplication>
#include <QTranslator>

class IPrompts;

class TRq7Application : public QApplication {
public:
    TRq7Application(int& argc, char** argv);
    // Where the general error report is shown; until set, errors are shown with real message boxes.
    void SetPrompts(IPrompts* prompts) { prompts_ = prompts; }
    bool notify(QObject* receiver, QEvent* event) override;

private:
    QTranslator qtTranslator_;
    IPrompts* prompts_ = nullptr;
};

// Loads Qt's own Russian texts ("Да", "Нет", file dialogs) into the application.
void InstallRussianQtTexts(QCoreApplication& app, QTranslator& translator);
// Stands in fonts of the same width for the Windows fonts the forms name.
void InstallFontSubstitutes();

#include "ui/Rq7Application.h"

#include <QLibraryInfo>
#include <QLocale>

#include "ui/ErrorReport.h"
#include "ui/Prompts.h"

void InstallRussianQtTexts(QCoreApplication& app, QTranslator& translator) {
    if (translator.load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                        QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        app.installTranslator(&translator);
    }
}

TRq7Application::TRq7Application(int& argc, char** argv) : QApplication(argc, argv) {
    InstallRussianQtTexts(*this, qtTranslator_);
}

bool TRq7Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        if (prompts_ != nullptr) {
            ShowErrorReport(*prompts_, error);
        } else {
            TQtPrompts prompts;
            ShowErrorReport(prompts, error);
        }
    }
    return false;
}

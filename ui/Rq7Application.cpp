#include "ui/Rq7Application.h"

#include <QFont>
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

void InstallFontSubstitutes() {
    // The forms name the Windows fonts they were designed with; where those are missing, fonts of
    // about the same width keep the captions inside their controls.
    const QStringList narrowSans{QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                 QStringLiteral("Arial"), QStringLiteral("DejaVu Sans Condensed"),
                                 QStringLiteral("DejaVu Sans")};
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), narrowSans);
    QFont::insertSubstitutions(QStringLiteral("Tahoma"), narrowSans);
}

TRq7Application::TRq7Application(int& argc, char** argv) : QApplication(argc, argv) {
    InstallRussianQtTexts(*this, qtTranslator_);
    InstallFontSubstitutes();
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

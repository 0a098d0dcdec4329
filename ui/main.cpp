// The program entry: creates every window and the data module, then runs the message loop.

#include <QFileInfo>
#include <QMessageBox>

#include "ui/ErrorReport.h"
#include "ui/Prompts.h"
#include "ui/Rq7Application.h"
#include "ui/Rq7Program.h"
#include "ui/Rq7Unit.h"
#include "ui/SessionEnd.h"

int main(int argc, char** argv) {
    TRq7Application app(argc, argv);
    app.setApplicationName(ApplicationTitle());
    TQtPrompts prompts;
    app.SetPrompts(&prompts);
    TRq7Program program(prompts);
    try {
        program.Create();
    } catch (const std::exception& error) {
        const QString module = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Application Error"),
                        StartupErrorText(error, module, reinterpret_cast<const void*>(&main)),
                        QMessageBox::Ok);
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
        return 1;
    }
    program.Rq7Form->show();
    // From a write's first request to the end of its block the session end is refused.
    const TSessionEndGuard sessionEnd(*program.Rq7Form);
    return QApplication::exec();
}

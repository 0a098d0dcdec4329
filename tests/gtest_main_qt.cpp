// The main of every test program: an offscreen QApplication (unless a platform is chosen, so the same
// tests can run in a real X server), a service record store of its own (unless RQ7_HISTORY names one) and
// GoogleTest.

#include <QApplication>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>

#include "ui/Rq7Application.h"

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    // The windows and rq7cli record into a store of the test's own, never into the user's.
    const QTemporaryDir history;
    if (std::getenv("RQ7_HISTORY") == nullptr && history.isValid()) {
        setenv("RQ7_HISTORY",
               history.filePath(QStringLiteral("rq7-history.sqlite")).toLocal8Bit().constData(), 1);
    }
    QApplication app(argc, argv);
    QTranslator translator;
    InstallRussianQtTexts(app, translator);
    InstallFontSubstitutes();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

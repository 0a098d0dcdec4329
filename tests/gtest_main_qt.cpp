// The main of every test program: an offscreen QApplication (unless a platform is chosen, so the same
// tests can run in a real X server) and GoogleTest.

#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

#include "ui/Rq7Application.h"

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    QTranslator translator;
    InstallRussianQtTexts(app, translator);
    InstallFontSubstitutes();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

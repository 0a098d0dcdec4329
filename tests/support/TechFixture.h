#pragma once
// A whole program (windows, data module, exchange) whose port is open on a fresh adapter simulator
// through a watched line (support/WatchedLine.h), with scripted prompts and a temporary working
// directory, for the technological mode window and the password dialog.

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <cstdint>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "coef/CoefBlock.h"
#include "link/ComPort.h"
#include "link/ModbusUnit.h"
#include "link/QuorbData.h"
#include "sim/Simulator.h"
#include "support/ScriptedPrompts.h"
#include "support/WatchedLine.h"
#include "ui/PaswKoefUnit.h"
#include "ui/Rq7Program.h"
#include "ui/Rq7Unit.h"
#include "ui/TechKoefUnit.h"

class TTechFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        OldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(Dir.path()));
        Sim = std::make_unique<TAdapterSimulator>(1);
        Line = std::make_unique<TWatchedLine>(*Sim);
        Program = std::make_unique<TRq7Program>(
            Prompts, TLinkParts{Line->Opener(), &Line->Clock(), (Dir.path() + "/journal.txt").toStdString(),
                                HistoryPath()});
        Program->Create();
        // A fixed clock, so saved files and written blocks carry a known time.
        Program->CoefBlock.LocalNow = [] { return TLocalTime{2013, 4, 5, 6, 7, 8}; };
        Program->QuorbDataModule->ComPort.SetPort(Sim->DevicePath());
        Program->Rq7Form->OpenComport();
        ASSERT_TRUE(Program->QuorbDataModule->ComPort.Connected());
        ASSERT_TRUE(Prompts.Shown.empty());
    }

    void TearDown() override {
        Program.reset();
        Line.reset();
        Sim.reset();
        QDir::setCurrent(OldCwd);
    }

    TTehForm& Teh() { return *Program->TehForm; }
    // The service record's store of this test's program, outside its working directory.
    std::string HistoryPath() const {
        return HistoryDir.filePath(QStringLiteral("history.sqlite")).toStdString();
    }
    TPaswKoefForm& Pasw() { return *Program->PaswKoefForm; }
    QLineEdit* Edit(const char* name) { return Find<QLineEdit>(name); }
    QPushButton* Button(const char* name) { return Find<QPushButton>(name); }
    QLabel* Label(const char* name) { return Find<QLabel>(name); }
    QWidget* Panel1() { return Find<QWidget>("Panel1"); }
    QProgressBar* Progress() { return Find<QProgressBar>("ProgressBar1"); }

    template <typename T> T* Find(const char* name) {
        T* widget = Teh().findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    // The file's bytes, or "<missing>".
    static std::string FileBytes(const QString& path);

    QTemporaryDir Dir;
    QTemporaryDir HistoryDir;
    QString OldCwd;
    std::unique_ptr<TAdapterSimulator> Sim;
    std::unique_ptr<TWatchedLine> Line;
    TScriptedPrompts Prompts;
    std::unique_ptr<TRq7Program> Program;
};

inline std::string TTechFixture::FileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return "<missing>";
    }
    return file.readAll().toStdString();
}

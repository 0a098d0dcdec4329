// Odd files met by the windows' file commands: files far longer than the lines a command uses, lines
// longer than a field holds, and saving where no temporary file can be made beside the file.

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "support/Files.h"
#include "support/TechFixture.h"
#include "ui/KoefPotrebUnit.h"

namespace {

// A named pipe the test writes into. A command that reads it to its end waits for more as long as the
// pipe has a writer; one that takes only the lines it uses returns with the rest still in the pipe.
//
// Feed() writes the file's first part. Then, once the command has taken all of it, a second part is
// written; it stays in the pipe unless the command goes on reading. When the command has taken the
// second part too, the pipe is closed, so that a command reading to the end gets its end and returns
// (and the test fails on what it read).
class TPipeFile {
public:
    explicit TPipeFile(std::string path) : path_(std::move(path)) {
        EXPECT_EQ(::mkfifo(path_.c_str(), 0600), 0) << path_;
        watch_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); // only to see what is left
        writer_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
        EXPECT_GE(watch_, 0);
        EXPECT_GE(writer_, 0);
    }
    ~TPipeFile() {
        Stop();
        ::close(watch_);
        if (writer_ >= 0) {
            ::close(writer_);
        }
        ::unlink(path_.c_str());
    }
    TPipeFile(const TPipeFile&) = delete;
    TPipeFile& operator=(const TPipeFile&) = delete;

    void Feed(const std::string& first, const std::string& second) {
        ASSERT_EQ(::write(writer_, first.data(), first.size()), static_cast<ssize_t>(first.size()));
        second_ = second;
        feeder_ = std::thread([this] { FeedSecondPart(); });
    }
    // Call once the command has returned. The bytes the command left unread.
    int Stop() {
        done_ = true;
        if (feeder_.joinable()) {
            feeder_.join();
        }
        return Waiting();
    }

private:
    int Waiting() const {
        int n = 0;
        return ::ioctl(watch_, FIONREAD, &n) == 0 ? n : -1;
    }
    void FeedSecondPart() {
        bool secondWritten = false;
        for (;;) {
            if (done_) {
                // The command returned: what it did not take of the second part stays for Stop().
                if (!secondWritten) {
                    (void)!::write(writer_, second_.data(), second_.size());
                }
                return;
            }
            if (Waiting() == 0) {
                if (!secondWritten) {
                    (void)!::write(writer_, second_.data(), second_.size());
                    secondWritten = true;
                } else {
                    ::close(writer_); // it reads on: let it see the end
                    writer_ = -1;
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::string path_;
    int watch_ = -1;
    int writer_ = -1;
    std::string second_;
    std::atomic<bool> done_{false};
    std::thread feeder_;
};

std::string Lines(const char* prefix, int from, int to) {
    std::string text;
    for (int i = from; i <= to; ++i) {
        text += prefix + std::to_string(i) + "\r\n";
    }
    return text;
}

class OddFiles : public TTechFixture {
protected:
    std::string Path(const char* name) const { return QDir(Dir.path()).filePath(name).toStdString(); }
    QStringList ValueTexts() {
        QStringList texts;
        for (const char* name : {"KoefEdit1", "KoefEdit2", "KoefEdit3", "KoefEdit4", "Edit21", "Edit22",
                                 "Edit23", "Edit24", "Edit31", "Edit32", "Edit33", "Edit34"}) {
            texts << Edit(name)->text();
        }
        return texts;
    }
    QLineEdit* LimitsEdit(const char* name) {
        return Program->KoefForPotreb->findChild<QLineEdit*>(QString::fromLatin1(name));
    }
};

TEST_F(OddFiles, LoadTakesTheFifteenLinesItUsesAndReadsNoFurther) {
    Teh().show();
    Teh().setEnabled(true);
    TPipeFile file(Path("coef.dat"));
    const std::string later = Lines("later ", 1, 100);
    file.Feed("5\r\n01/02/2003(04:05:06)\r\n0123456\r\n" + Lines("", 1, 12) + Lines("after ", 1, 3), later);
    Prompts.OpenFileAnswers = {QString::fromStdString(Path("coef.dat"))};

    Button("ReadFileButton")->click();
    const int unread = file.Stop();

    EXPECT_EQ(unread, static_cast<int>(later.size())) << "the load read past the lines it uses";
    EXPECT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(" | ").toStdString();
    EXPECT_EQ(Edit("AdrEdit")->text(), "5");
    EXPECT_EQ(Label("DataLabel")->text(), "01/02/2003(04:05:06)");
    EXPECT_EQ(Edit("ZavodEdit")->text(), "0123456");
    EXPECT_EQ(ValueTexts(), (QStringList{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"}));
}

TEST_F(OddFiles, RestoreTakesTheSixLinesItUsesAndReadsNoFurther) {
    TKoefForPotreb& limits = *Program->KoefForPotreb;
    limits.show();
    limits.setEnabled(true);
    TPipeFile file(Path(TKoefForPotreb::BackupFileName));
    const std::string later = Lines("later ", 1, 100);
    file.Feed("1.00\r\n2.00\r\n3.00\r\n4.00\r\n5.00\r\n6.00\r\n7.00\r\n8.00\r\n", later);

    limits.findChild<QPushButton*>(QStringLiteral("IschodButton"))->click();
    const int unread = file.Stop();

    EXPECT_EQ(unread, static_cast<int>(later.size())) << "the restore read past the lines it uses";
    EXPECT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(" | ").toStdString();
    EXPECT_EQ(LimitsEdit("Canal1_20")->text(), "1.00");
    EXPECT_EQ(LimitsEdit("Canal3_4")->text(), "6.00");
    EXPECT_TRUE(limits.findChild<QPushButton*>(QStringLiteral("WriteButton"))->isEnabled());
}

TEST_F(OddFiles, LinesLongerThanAFieldHoldsAreCutToIt) {
    Teh().show();
    Teh().setEnabled(true);
    // Line 2 (the saving time, shown in a label) and line 4 (a value edit) run on for 100 000 bytes.
    const std::string longLine(100000, '7');
    WriteFileBytes(Path("long.dat"),
                   "1\r\n" + longLine + "\r\n0101001\r\n" + longLine + "\r\n" + Lines("", 2, 12));
    Prompts.OpenFileAnswers = {QString::fromStdString(Path("long.dat"))};

    Button("ReadFileButton")->click();

    EXPECT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(" | ").toStdString();
    EXPECT_EQ(Label("DataLabel")->text().size(), 32767);
    EXPECT_EQ(Edit("KoefEdit1")->text().size(), Edit("KoefEdit1")->maxLength());
    EXPECT_EQ(Edit("KoefEdit1")->text(), QString(32767, QLatin1Char('7')));
    EXPECT_EQ(Edit("ZavodEdit")->text(), "0101001");
    EXPECT_EQ(Edit("Edit34")->text(), "12");
}

TEST_F(OddFiles, CoefficientFileWithTheLongestNameIsSaved) {
    Teh().show();
    Teh().setEnabled(true);
    Teh().NachButtonClick();
    // 254 characters with the extension: the file may have the name, its temporary file may not.
    const QString name = QString(250, QLatin1Char('c')) + QStringLiteral(".dat");
    const QString path = QDir(Dir.path()).filePath(name);
    Prompts.YesNoAnswers = {true};
    Prompts.SaveFileAnswers = {path};
    Prompts.DialogHandlers.push_back(CloseDialog()); // no password: nothing is written to the adapter

    Button("WriteButton")->click();

    EXPECT_EQ(Prompts.Texts(), QStringList{"Сохранить данные на диске?"});
    EXPECT_EQ(FileBytes(path),
              "1\r\n05/04/2013(06:07:08)\r\n0101001\r\n1010\r\n630\r\n16\r\n4\r\n85\r\n-40\r\n16\r\n"
              "4\r\n200\r\n1.5\r\n16\r\n4\r\n");
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files), QStringList{name});
}

TEST_F(OddFiles, BackupFileInAReadOnlyFolderIsKeptWhenTheFileItselfIsWritable) {
    // The program started in a folder it may not create files in, which holds a writable tmp.dat.
    const std::string backup = Path(TKoefForPotreb::BackupFileName);
    WriteFileBytes(backup, "old\r\n");
    ASSERT_EQ(::chmod(backup.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(Dir.path().toLocal8Bit().constData(), 0555), 0);
    // As root no folder refuses a file: this thread opens and creates files as an unprivileged user.
    const bool root = ::geteuid() == 0;
    if (root) {
        ::syscall(SYS_setfsgid, 65534);
        ::syscall(SYS_setfsuid, 65534);
    }
    const int probe = ::open(Path("probe").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);

    if (probe < 0) {
        Program->Rq7Form->N4()->trigger();
    }

    if (root) {
        ::syscall(SYS_setfsuid, 0);
        ::syscall(SYS_setfsgid, 0);
    }
    ::chmod(Dir.path().toLocal8Bit().constData(), 0700);
    if (probe >= 0) {
        ::close(probe);
        GTEST_SKIP() << "a read-only folder still takes new files here";
    }
    EXPECT_TRUE(Prompts.Texts().isEmpty()) << Prompts.Texts().join(" | ").toStdString();
    EXPECT_TRUE(Program->KoefForPotreb->isEnabled());
    // The adapter's limits: the simulator's calibrated block, lines 7 and 8 repeating slot 12.
    const std::string lines = FileBytes(QString::fromStdString(backup));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 8) << lines;
    EXPECT_EQ(lines.substr(0, lines.find('\r')), LimitsEdit("Canal1_20")->text().toStdString());
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files), QStringList{"tmp.dat"});
}

} // namespace

// Text files shared with Windows machines: Windows-1251 bytes, CR LF lines, and the file error texts.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include "coef/Errors.h"
#include "coef/TextFile.h"
#include "support/Files.h"

namespace {

// The message and code of the file error a call raises ("" when it raises none).
template <typename F> std::string FileErrorOf(F&& call, int* code = nullptr) {
    try {
        call();
    } catch (const EInOutError& e) {
        if (code) {
            *code = e.ErrorCode;
        }
        return e.what();
    }
    return "";
}

// The system's own Windows-1251 decoder, as an independent reference for the table.
std::string IconvCp1251ToUtf8(unsigned char byte) {
    iconv_t cd = ::iconv_open("UTF-8", "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return "<no iconv>";
    }
    char in[1] = {static_cast<char>(byte)};
    char out[8] = {};
    char* pin = in;
    char* pout = out;
    std::size_t inLeft = 1;
    std::size_t outLeft = sizeof out;
    const std::size_t r = ::iconv(cd, &pin, &inLeft, &pout, &outLeft);
    ::iconv_close(cd);
    if (r == static_cast<std::size_t>(-1)) {
        return "<undefined>";
    }
    return std::string(out, pout);
}

} // namespace

TEST(Cp1251, EveryByteDecodesAsTheSystemCodecDoesAndRoundTrips) {
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::string utf8 = Cp1251ToUtf8(byte);
        if (b != 0x98) { // the one byte without a character in the code page
            EXPECT_EQ(utf8, IconvCp1251ToUtf8(static_cast<unsigned char>(b))) << "byte " << b;
        }
        EXPECT_EQ(Utf8ToCp1251(utf8), byte) << "byte " << b;
    }
}

TEST(Cp1251, RussianTextAndCharactersOutsideTheCodePage) {
    EXPECT_EQ(Utf8ToCp1251("Чётность: Ёж №5"), "\xD7\xB8\xF2\xED\xEE\xF1\xF2\xFC: \xA8\xE6 \xB9"
                                               "5");
    EXPECT_EQ(Cp1251ToUtf8("\xCF\xF0\xEE\xE2\xE5\xF0\xFC\xF2\xE5"), "Проверьте");
    // Characters Windows-1251 lacks (Greek, CJK, an emoji) become "?", one per character.
    EXPECT_EQ(Utf8ToCp1251("aΩ中😀b"), "a???b");
    // Broken UTF-8 gives "?" per bad byte and does not swallow the following text.
    EXPECT_EQ(Utf8ToCp1251("a\xD0"), "a?");
    EXPECT_EQ(Utf8ToCp1251("\xFF\xFEok"), "??ok");
    EXPECT_EQ(Utf8ToCp1251("\xC0\xAF/"), "?"
                                         "?/");       // overlong encoding of "/"
    EXPECT_EQ(Utf8ToCp1251("\xED\xA0\x80x"), "???x"); // a UTF-16 surrogate
}

TEST(TextFile, ReadsLinesEndedByLfOrCrLf) {
    TempDir dir;
    const auto cases = std::vector<std::pair<std::string, std::vector<std::string>>>{
        {"", {}},
        {"one", {"one"}},
        {"one\r\ntwo\r\n", {"one", "two"}},
        {"one\ntwo", {"one", "two"}},
        {"a\r\n\r\nb\n\n", {"a", "", "b", ""}},
        {"cr\rinside\r\nend\r", {"cr\rinside", "end\r"}},
        {"\xC4\xE0\xF2\xE0\r\n", {"Дата"}},
    };
    for (const auto& [bytes, lines] : cases) {
        WriteFileBytes(dir / "in.dat", bytes);
        EXPECT_EQ(ReadTextFileLines(dir / "in.dat"), lines) << "bytes: " << bytes;
    }
}

TEST(TextFile, WritesCp1251WithCrLfAndReadsItBack) {
    TempDir dir;
    const std::vector<std::string> lines = {"20.5", "", "Заводской №", "-1.25E-5"};
    WriteTextFileLines(dir / "out.dat", lines);
    EXPECT_EQ(ReadFileBytes(dir / "out.dat"),
              "20.5\r\n\r\n\xC7\xE0\xE2\xEE\xE4\xF1\xEA\xEE\xE9 \xB9\r\n-1.25E-5\r\n");
    EXPECT_EQ(ReadTextFileLines(dir / "out.dat"), lines);

    // Replacing a longer file leaves nothing of it behind, nor any temporary file.
    WriteTextFileLines(dir / "out.dat", {"x"});
    EXPECT_EQ(ReadFileBytes(dir / "out.dat"), "x\r\n");
    WriteTextFileLines(dir / "out.dat", {});
    EXPECT_EQ(ReadFileBytes(dir / "out.dat"), "");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"out.dat"});
}

TEST(TextFile, ReplacingKeepsPermissionsAndWritesThroughALink) {
    TempDir dir;
    WriteFileBytes(dir / "real.dat", "old\r\n");
    ASSERT_EQ(::chmod((dir / "real.dat").c_str(), 0640), 0);
    ASSERT_EQ(::symlink("real.dat", (dir / "link.dat").c_str()), 0);
    WriteTextFileLines(dir / "link.dat", {"new"});
    struct stat lst {};
    ASSERT_EQ(::lstat((dir / "link.dat").c_str(), &lst), 0);
    EXPECT_TRUE(S_ISLNK(lst.st_mode));
    EXPECT_EQ(ReadFileBytes(dir / "real.dat"), "new\r\n");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "real.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(TextFile, MissingFileAndMissingFolderHaveTheirOwnTexts) {
    TempDir dir;
    int code = 0;
    EXPECT_EQ(FileErrorOf([&] { ReadTextFileLines(dir / "absent.dat"); }, &code), "File not found");
    EXPECT_EQ(code, 2);
    EXPECT_EQ(FileErrorOf([&] { ReadTextFileLines(dir / "nofolder/a.dat"); }, &code), "Invalid filename");
    EXPECT_EQ(code, 3);
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / "nofolder/a.dat", {"x"}); }), "Invalid filename");
    // A plain file where a folder should be.
    WriteFileBytes(dir / "plain", "x");
    EXPECT_EQ(FileErrorOf([&] { ReadTextFileLines(dir / "plain/a.dat"); }), "Invalid filename");
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / "plain/a.dat", {"x"}); }), "Invalid filename");
    EXPECT_EQ(FileErrorOf([&] { ReadTextFileLines(""); }), "Invalid filename");
}

TEST(TextFile, FolderInPlaceOfTheFileIsAccessDeniedAndLeavesNoTemporaryFile) {
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    WriteFileBytes(dir / "sub/keep", "k");
    int code = 0;
    EXPECT_EQ(FileErrorOf([&] { ReadTextFileLines(dir / "sub"); }, &code), "File access denied");
    EXPECT_EQ(code, 5);
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / "sub", {"x"}); }), "File access denied");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"sub"});
    EXPECT_EQ(ReadFileBytes(dir / "sub/keep"), "k");
}

TEST(TextFile, FailedWriteLeavesTheEarlierFileIntact) {
    TempDir dir;
    WriteTextFileLines(dir / "coef.dat", {"earlier"});
    // Cap the size of files this process may write: the new contents cannot be written whole.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 16;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    int code = 0;
    const std::string error =
        FileErrorOf([&] { WriteTextFileLines(dir / "coef.dat", {std::string(100, 'x')}); }, &code);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(error, "I/O error 27"); // EFBIG: an error without a text of its own
    EXPECT_EQ(code, 27);
    EXPECT_EQ(ReadFileBytes(dir / "coef.dat"), "earlier\r\n");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"coef.dat"});
}

TEST(TextFile, RunningOutOfDescriptorsIsTooManyOpenFiles) {
    TempDir dir;
    WriteFileBytes(dir / "a.dat", "x\r\n");
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit none = old;
    none.rlim_cur = 0;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    const std::string readError = FileErrorOf([&] { ReadTextFileLines(dir / "a.dat"); });
    const std::string writeError = FileErrorOf([&] { WriteTextFileLines(dir / "b.dat", {"x"}); });
    ::setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(readError, "Too many open files");
    EXPECT_EQ(writeError, "Too many open files");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"a.dat"});
}

// ---------------------------------------------------------------------------------------------
// Only the first lines, and saving where no temporary file can be made

namespace {

// For the life of the object this thread opens and creates files as an unprivileged user (when it runs
// as root, whose files are otherwise never refused), so a folder's permissions bind it.
class TUnprivilegedFiles {
public:
    TUnprivilegedFiles() {
        if (::geteuid() == 0) {
            ::syscall(SYS_setfsgid, kNobody);
            ::syscall(SYS_setfsuid, kNobody);
            switched_ = true;
        }
    }
    ~TUnprivilegedFiles() {
        if (switched_) {
            ::syscall(SYS_setfsuid, 0);
            ::syscall(SYS_setfsgid, 0);
        }
    }
    TUnprivilegedFiles(const TUnprivilegedFiles&) = delete;
    TUnprivilegedFiles& operator=(const TUnprivilegedFiles&) = delete;

private:
    static constexpr long kNobody = 65534;
    bool switched_ = false;
};

// Whether a new file can be made in the folder by this thread right now.
bool CanCreateIn(const std::string& folder) {
    const std::string probe = folder + "/probe";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

ino_t InodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

TEST(TextFile, FirstLinesStopAtTheCountAndKeepAnEditsWorthOfEachLine) {
    TempDir dir;
    WriteFileBytes(dir / "in.dat", "a\r\nb\nc\r\n\r\nlast");
    EXPECT_EQ(ReadFirstTextFileLines(dir / "in.dat", 2), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(ReadFirstTextFileLines(dir / "in.dat", 4), (std::vector<std::string>{"a", "b", "c", ""}));
    EXPECT_EQ(ReadFirstTextFileLines(dir / "in.dat", 15),
              (std::vector<std::string>{"a", "b", "c", "", "last"}));
    EXPECT_EQ(ReadFirstTextFileLines(dir / "in.dat", 0), std::vector<std::string>{});

    const std::size_t keep = kMaxTextLineBytes;
    const std::string full(keep, 'x');
    const struct {
        std::string Line;     // the line's bytes, before its LF
        std::string Expected; // what is read of it
    } cases[] = {
        {full, full},
        {full + "yz", full},
        {full + "\r", full},                             // the CR just past the kept part
        {full.substr(1) + "\r", full.substr(1)},         // the CR at the last kept byte
        {full.substr(1) + "\ry", full.substr(1) + "\r"}, // a CR inside the line stays
        {std::string(keep + 100000, 'q') + "\r", std::string(keep, 'q')},
    };
    for (const auto& c : cases) {
        WriteFileBytes(dir / "long.dat", c.Line + "\nnext\r\n");
        const std::vector<std::string> lines = ReadFirstTextFileLines(dir / "long.dat", 2);
        ASSERT_EQ(lines.size(), 2u) << c.Line.size();
        EXPECT_EQ(lines[0], c.Expected) << "a line of " << c.Line.size() << " bytes";
        EXPECT_EQ(lines[1], "next");
    }
    // Kept by bytes of the file, which are characters: Cyrillic letters count one each.
    WriteFileBytes(dir / "cyr.dat", std::string(keep + 5, '\xC4'));
    const std::vector<std::string> cyrillic = ReadFirstTextFileLines(dir / "cyr.dat", 1);
    ASSERT_EQ(cyrillic.size(), 1u);
    EXPECT_EQ(cyrillic[0].size(), 2 * keep);
    EXPECT_EQ(cyrillic[0].substr(0, 4), "ДД");
}

TEST(TextFile, CrLfSplitBetweenTwoReadsEndsTheLine) {
    TempDir dir;
    // The reads go 64 KiB at a time: the CR is the last byte of the first, the LF the first of the next.
    const std::string first(65535, 'x');
    WriteFileBytes(dir / "in.dat", first + "\r\nsecond\r\n");
    EXPECT_EQ(ReadTextFileLines(dir / "in.dat"), (std::vector<std::string>{first, "second"}));
    EXPECT_EQ(ReadFirstTextFileLines(dir / "in.dat", 2),
              (std::vector<std::string>{first.substr(0, kMaxTextLineBytes), "second"}));
}

TEST(TextFile, ReadOnlyFolderWithAWritableFileIsRewrittenInPlace) {
    TempDir dir;
    WriteFileBytes(dir / "tmp.dat", "old old old\r\n");
    ASSERT_EQ(::chmod((dir / "tmp.dat").c_str(), 0666), 0);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
    std::string error, newFileError;
    {
        TUnprivilegedFiles unprivileged;
        if (CanCreateIn(dir.Path())) {
            ::chmod(dir.Path().c_str(), 0755);
            GTEST_SKIP() << "a read-only folder still takes new files here";
        }
        error = FileErrorOf([&] { WriteTextFileLines(dir / "tmp.dat", {"1.00", "new"}); });
        // A file that does not exist yet cannot be made there at all.
        newFileError = FileErrorOf([&] { WriteTextFileLines(dir / "other.dat", {"x"}); });
    }
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    EXPECT_EQ(error, "");
    EXPECT_EQ(ReadFileBytes(dir / "tmp.dat"), "1.00\r\nnew\r\n");
    EXPECT_EQ(newFileError, "File access denied");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"tmp.dat"});
    struct stat st {};
    ASSERT_EQ(::stat((dir / "tmp.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST(TextFile, NameWithNoRoomForTheTemporaryEndingIsWrittenInPlace) {
    TempDir dir;
    const std::string name = std::string(250, 'n') + ".dat"; // 254 characters: the longest file names
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / name, {"first", "file"}); }), "");
    EXPECT_EQ(ReadFileBytes(dir / name), "first\r\nfile\r\n");
    // Again over the existing, longer file: nothing of it is left.
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / name, {"2"}); }), "");
    EXPECT_EQ(ReadFileBytes(dir / name), "2\r\n");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{name});
    // A name the folder cannot hold at all is still refused.
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / std::string(256, 'n'), {"x"}); }),
              "Invalid filename");
}

TEST(TextFile, ElsewhereTheFileIsStillReplacedWhole) {
    TempDir dir;
    WriteTextFileLines(dir / "coef.dat", {"earlier"});
    const ino_t before = InodeOf(dir / "coef.dat");
    // A reader that has the earlier file open keeps reading the earlier contents: the new file is a
    // new one, renamed over the old, never the old one rewritten.
    std::ifstream reader(dir / "coef.dat", std::ios::binary);
    WriteTextFileLines(dir / "coef.dat", {"later"});
    EXPECT_NE(InodeOf(dir / "coef.dat"), before);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), std::istreambuf_iterator<char>()),
              "earlier\r\n");
    EXPECT_EQ(ReadFileBytes(dir / "coef.dat"), "later\r\n");
}

// ---------------------------------------------------------------------------------------------
// Writing a file a line at a time

namespace {

// How many of this process's descriptors lead to the file.
int DescriptorsOn(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    const std::string target = resolved != nullptr ? resolved : path;
    std::free(resolved);
    int count = 0;
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) {
        return -1;
    }
    while (const dirent* entry = ::readdir(fds)) {
        char link[4096];
        const std::string name = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = ::readlink(name.c_str(), link, sizeof link);
        if (n > 0 && std::string(link, static_cast<std::size_t>(n)) == target) {
            ++count;
        }
    }
    ::closedir(fds);
    return count;
}

} // namespace

TEST(TextFileWriter, EachLineIsInTheFileAsSoonAsItIsWrittenInTheSavedFilesBytes) {
    TempDir dir;
    const std::string path = dir / "tmp.dat";
    WriteFileBytes(path, std::string(5000, 'o') + "\r\nold\r\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    const ino_t inode = InodeOf(path);
    const std::vector<std::string> lines = {"16.00", "-40.00", "Ёж №5 Ω", ""};

    TTextFileWriter writer(path);
    EXPECT_EQ(ReadFileBytes(path), "") << "an existing file is emptied when it is opened";
    std::string soFar;
    for (const std::string& line : lines) {
        writer.WriteLine(line);
        soFar += Utf8ToCp1251(line) + "\r\n";
        EXPECT_EQ(ReadFileBytes(path), soFar) << "after " << line;
    }
    writer.Close();

    // The same bytes as a whole save of the same lines, in the same file with its permissions.
    WriteTextFileLines(dir / "whole.dat", lines);
    EXPECT_EQ(ReadFileBytes(path), ReadFileBytes(dir / "whole.dat"));
    EXPECT_EQ(ReadFileBytes(path), "16.00\r\n-40.00\r\n\xA8\xE6 \xB9"
                                   "5 ?\r\n\r\n");
    EXPECT_EQ(InodeOf(path), inode);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(DescriptorsOn(path), 0);
    EXPECT_EQ(FileErrorOf([&] { writer.WriteLine("late"); }), "File not open for output");
    EXPECT_EQ(ReadFileBytes(path), ReadFileBytes(dir / "whole.dat"));
}

TEST(TextFileWriter, AWriterLeftByAnErrorClosesItsFileAndKeepsTheLinesWritten) {
    TempDir dir;
    const std::string path = dir / "tmp.dat";
    std::string error;
    try {
        TTextFileWriter writer(path);
        writer.WriteLine("1.00");
        writer.WriteLine("2.00");
        EXPECT_EQ(DescriptorsOn(path), 1);
        throw EInOutError("the line went away", 1117);
    } catch (const EInOutError& e) {
        error = e.what();
    }
    EXPECT_EQ(error, "the line went away");
    EXPECT_EQ(DescriptorsOn(path), 0);
    EXPECT_EQ(ReadFileBytes(path), "1.00\r\n2.00\r\n");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"tmp.dat"});
}

TEST(TextFileWriter, WhatCannotBeWrittenIsRefusedAndLeftAsItWas) {
    TempDir dir;
    // A folder of the name, a folder that is not there.
    ASSERT_EQ(::mkdir((dir / "tmp.dat").c_str(), 0755), 0);
    EXPECT_EQ(FileErrorOf([&] { TTextFileWriter writer(dir / "tmp.dat"); }), "File access denied");
    EXPECT_EQ(FileErrorOf([&] { TTextFileWriter writer(dir / "none/tmp.dat"); }), "Invalid filename");
    // A pipe nobody reads is refused at once, as no regular file; the open does not wait for a reader.
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0666), 0);
    int code = 0;
    EXPECT_EQ(FileErrorOf([&] { TTextFileWriter writer(dir / "pipe"); }, &code), "File access denied");
    EXPECT_EQ(code, 5);

    // A read-only file keeps its contents; a writable file in a read-only folder is written in place.
    WriteFileBytes(dir / "locked.dat", "kept\r\n");
    ASSERT_EQ(::chmod((dir / "locked.dat").c_str(), 0444), 0);
    WriteFileBytes(dir / "open.dat", "old\r\n");
    ASSERT_EQ(::chmod((dir / "open.dat").c_str(), 0666), 0);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
    std::string lockedError, openError, newError;
    bool folderTakesFiles = false;
    {
        TUnprivilegedFiles unprivileged;
        folderTakesFiles = CanCreateIn(dir.Path());
        lockedError = FileErrorOf([&] { TTextFileWriter writer(dir / "locked.dat"); });
        openError = FileErrorOf([&] {
            TTextFileWriter writer(dir / "open.dat");
            writer.WriteLine("new");
            writer.Close();
        });
        newError = FileErrorOf([&] { TTextFileWriter writer(dir / "new.dat"); });
    }
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    EXPECT_EQ(lockedError, "File access denied");
    EXPECT_EQ(ReadFileBytes(dir / "locked.dat"), "kept\r\n");
    EXPECT_EQ(openError, "");
    EXPECT_EQ(ReadFileBytes(dir / "open.dat"), "new\r\n");
    if (!folderTakesFiles) {
        EXPECT_EQ(newError, "File access denied");
        EXPECT_EQ(dir.Names(), (std::vector<std::string>{"locked.dat", "open.dat", "pipe", "tmp.dat"}));
    }
}

// ---------------------------------------------------------------------------------------------
// Only regular files are written

namespace {

// The text of a link ("" when the path is no link).
std::string LinkText(const std::string& path) {
    char text[4096];
    const ssize_t n = ::readlink(path.c_str(), text, sizeof text);
    return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : "";
}

// All a refused write has to leave as it was: the entry itself (not followed) and what it leads to, by
// type, permissions, inode and device number; a regular file's bytes, a link's text, a folder's names.
std::string StateOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return "nothing";
    }
    const auto describe = [](const struct stat& s) {
        return "mode " + std::to_string(s.st_mode) + " inode " + std::to_string(s.st_ino) + " device " +
               std::to_string(s.st_rdev);
    };
    std::string state = describe(st);
    if (S_ISLNK(st.st_mode)) {
        struct stat to {};
        state +=
            " link " + LinkText(path) + " to " + (::stat(path.c_str(), &to) == 0 ? describe(to) : "nothing");
    }
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        state += " bytes " + ReadFileBytes(path);
    }
    for (const std::string& name : FolderNames(path)) {
        state += " holds " + name;
    }
    return state;
}

// Makes, at each path, something either writer must refuse, and checks that the write is refused as
// access denied and leaves it, and the folder, as they were. Skips the device nodes where mknod is
// refused.
void ExpectRefusedAndLeftAsItWas(const std::function<void(const std::string&)>& write) {
    TempDir dir;
    int pipeEnds[2] = {-1, -1};
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    const auto device = [](const std::string& p) {
        return ::mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; // as /dev/null
    };
    const auto link = [](const std::string& to, const std::string& p) {
        return ::symlink(to.c_str(), p.c_str()) == 0;
    };
    const struct {
        const char* What;
        std::function<bool(const std::string&)> Make; // false where the system does not let it be made
    } cases[] = {
        {"a pipe", [](const std::string& p) { return ::mkfifo(p.c_str(), 0666) == 0; }},
        {"a device", device},
        {"a socket",
         [&](const std::string& p) {
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             p.copy(address.sun_path, sizeof address.sun_path - 1);
             return ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
         }},
        {"a folder",
         [](const std::string& p) {
             const bool made = ::mkdir(p.c_str(), 0777) == 0;
             WriteFileBytes(p + "/keep.dat", "k\r\n");
             return made;
         }},
        {"a file no one may write",
         [](const std::string& p) {
             WriteFileBytes(p, "kept\r\n");
             return ::chmod(p.c_str(), 0444) == 0;
         }},
        {"a link to a pipe's descriptor",
         [&](const std::string& p) { return link("/proc/self/fd/" + std::to_string(pipeEnds[1]), p); }},
        {"two links on the way to a device",
         [&](const std::string& p) {
             return device(p + ".dev") && link(p + ".dev", p + ".to") && link(p + ".to", p);
         }},
        {"a link to a file no one may write",
         [&](const std::string& p) {
             WriteFileBytes(p + ".dat", "kept\r\n");
             return ::chmod((p + ".dat").c_str(), 0444) == 0 && link(p + ".dat", p);
         }},
        {"a link that leads nowhere", [&](const std::string& p) { return link("absent.dat", p); }},
        {"a link to itself", [&](const std::string& p) { return link(p, p); }},
    };
    std::string notMade;
    int number = 0;
    for (const auto& c : cases) {
        const std::string path = dir / ("entry" + std::to_string(++number));
        if (!c.Make(path)) {
            notMade += std::string(" ") + c.What + ";";
            continue;
        }
        const std::string before = StateOf(path);
        const std::vector<std::string> names = dir.Names();
        int code = 0;
        EXPECT_EQ(FileErrorOf([&] { write(path); }, &code), "File access denied") << c.What;
        EXPECT_EQ(code, 5) << c.What;
        EXPECT_EQ(StateOf(path), before) << c.What;
        EXPECT_EQ(dir.Names(), names) << c.What;
    }
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    ::close(listener);
    if (!notMade.empty()) {
        GTEST_SKIP() << "not made here, so not tried:" << notMade;
    }
}

} // namespace

TEST(TextFile, WhatIsNoWritableRegularFileIsRefusedAndLeftAsItWas) {
    ExpectRefusedAndLeftAsItWas([](const std::string& path) { WriteTextFileLines(path, {"new"}); });
}

TEST(TextFileWriter, WhatIsNoWritableRegularFileIsRefusedAtOpeningAndLeftAsItWas) {
    ExpectRefusedAndLeftAsItWas([](const std::string& path) { TTextFileWriter writer(path); });
}

TEST(TextFile, BothWritersWriteTheFileAChainOfLinksLeadsToAndKeepTheLinks) {
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "data").c_str(), 0755), 0);
    WriteFileBytes(dir / "data/real.dat", "old\r\n");
    // Any one write bit will do: as root, even a file only others may write is written.
    const mode_t mode = ::geteuid() == 0 ? 0402 : 0602;
    ASSERT_EQ(::chmod((dir / "data/real.dat").c_str(), mode), 0);
    ASSERT_EQ(::symlink("data/real.dat", (dir / "near").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "near").c_str(), (dir / "far").c_str()), 0);
    const auto links = [&] { return LinkText(dir / "near") + " | " + LinkText(dir / "far"); };
    const std::string linksBefore = links();

    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / "far", {"whole"}); }), "");
    EXPECT_EQ(ReadFileBytes(dir / "data/real.dat"), "whole\r\n");
    EXPECT_EQ(links(), linksBefore);
    EXPECT_EQ(FolderNames(dir / "data"), std::vector<std::string>{"real.dat"});

    EXPECT_EQ(FileErrorOf([&] {
                  TTextFileWriter writer(dir / "far");
                  writer.WriteLine("line");
                  writer.Close();
              }),
              "");
    EXPECT_EQ(ReadFileBytes(dir / "data/real.dat"), "line\r\n");
    EXPECT_EQ(links(), linksBefore);
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"data", "far", "near"}));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "data/real.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, mode);
}

// Text files on Windows: Windows-1251 bytes with CR LF lines through the Win32 file calls, the file
// error texts as the system's codes map onto them, and names outside the code page.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>
#include <windows.h>

#include "coef/Errors.h"
#include "coef/TextFile.h"
#include "support/WinTestSupport.h"

namespace {

// A fresh folder under the temporary folder, removed with its contents.
class TTempDir {
public:
    TTempDir() {
        wchar_t base[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, base);
        path_ = Narrow(base) + "rq7-textfile-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(counter_++);
        EXPECT_TRUE(CreateDirectoryW(Widen(path_).c_str(), nullptr)) << path_;
    }
    ~TTempDir() { RemoveTree(Widen(path_)); }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

    // Names in the folder, to see that no temporary file was left behind.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW(Widen(path_ + "\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") {
                    names.push_back(Narrow(name));
                }
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    static void RemoveTree(const std::wstring& dir) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") {
                    continue;
                }
                const std::wstring path = dir + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveTree(path);
                } else {
                    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileW(path.c_str());
                }
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
        RemoveDirectoryW(dir.c_str());
    }
    static inline int counter_ = 0;
    std::string path_;
};

// The file's bytes, read as another program reads them; sharing, with writeShared, a file still open for
// writing.
std::string ReadBytes(const std::string& path, bool writeShared = false) {
    std::string bytes;
    HANDLE file =
        CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | (writeShared ? FILE_SHARE_WRITE : 0),
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "<cannot open>";
    }
    char chunk[4096];
    DWORD n = 0;
    while (ReadFile(file, chunk, sizeof chunk, &n, nullptr) && n > 0) {
        bytes.append(chunk, n);
    }
    CloseHandle(file);
    return bytes;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD n = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    CloseHandle(file);
}

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
std::string SystemCp1251ToUtf8(unsigned char byte) {
    const char in = static_cast<char>(byte);
    wchar_t wide[4] = {};
    const int n = MultiByteToWideChar(1251, MB_ERR_INVALID_CHARS, &in, 1, wide, 4);
    if (n <= 0) {
        return "<undefined>";
    }
    return Narrow(std::wstring(wide, static_cast<std::size_t>(n)));
}

} // namespace

TEST(WinCp1251, EveryByteDecodesAsTheSystemCodePageDoesAndRoundTrips) {
    int compared = 0;
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::string utf8 = Cp1251ToUtf8(byte);
        const std::string reference = SystemCp1251ToUtf8(static_cast<unsigned char>(b));
        if (reference != "<undefined>") { // 0x98 has no character in the code page
            EXPECT_EQ(utf8, reference) << "byte " << b;
            ++compared;
        }
        EXPECT_EQ(Utf8ToCp1251(utf8), byte) << "byte " << b;
    }
    EXPECT_GE(compared, 255);
}

TEST(WinTextFile, WritesCp1251WithCrLfAndReadsItBack) {
    TTempDir dir;
    const std::vector<std::string> lines = {"20.5", "", "Заводской №", "-1.25E-5"};
    WriteTextFileLines(dir / "out.dat", lines);
    EXPECT_EQ(ReadBytes(dir / "out.dat"),
              "20.5\r\n\r\n\xC7\xE0\xE2\xEE\xE4\xF1\xEA\xEE\xE9 \xB9\r\n-1.25E-5\r\n");
    EXPECT_EQ(ReadTextFileLines(dir / "out.dat"), lines);
    // Replacing a longer file leaves nothing of it behind, nor any temporary file.
    WriteTextFileLines(dir / "out.dat", {"x"});
    EXPECT_EQ(ReadBytes(dir / "out.dat"), "x\r\n");
    WriteTextFileLines(dir / "out.dat", {});
    EXPECT_EQ(ReadBytes(dir / "out.dat"), "");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"out.dat"});
    // Lines ended by LF alone, and a last line without an end, are read as well.
    WriteBytes(dir / "in.dat", "a\r\n\r\nb\nlast");
    EXPECT_EQ(ReadTextFileLines(dir / "in.dat"), (std::vector<std::string>{"a", "", "b", "last"}));
}

TEST(WinTextFile, RussianFileNamesWork) {
    TTempDir dir;
    const std::string path = dir / "Коэффициенты №1.dat";
    WriteTextFileLines(path, {"1010"});
    EXPECT_EQ(ReadTextFileLines(path), std::vector<std::string>{"1010"});
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"Коэффициенты №1.dat"});
}

TEST(WinTextFile, MissingFileAndFolderHaveTheirOwnTexts) {
    TTempDir dir;
    int code = 0;
    EXPECT_EQ(FileErrorOf([&] { ReadTextFileLines(dir / "absent.dat"); }, &code), "File not found");
    EXPECT_EQ(code, 2);
    EXPECT_EQ(FileErrorOf([&] { ReadTextFileLines(dir / "nofolder\\a.dat"); }, &code), "Invalid filename");
    EXPECT_EQ(code, 3);
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / "nofolder\\a.dat", {"x"}); }), "Invalid filename");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{});
}

TEST(WinTextFile, FolderInPlaceOfTheFileIsAccessDenied) {
    TTempDir dir;
    ASSERT_TRUE(CreateDirectoryW(Widen(dir / "sub").c_str(), nullptr));
    int code = 0;
    EXPECT_EQ(FileErrorOf([&] { ReadTextFileLines(dir / "sub"); }, &code), "File access denied");
    EXPECT_EQ(code, 5);
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / "sub", {"x"}); }), "File access denied");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"sub"});
}

TEST(WinTextFile, FileHeldByAnotherProgramIsAccessDeniedAndKeepsItsContents) {
    TTempDir dir;
    WriteTextFileLines(dir / "coef.dat", {"earlier"});
    // Another program holds the file open without sharing it.
    HANDLE held = CreateFileW(Widen(dir / "coef.dat").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    int code = 0;
    const std::string readError = FileErrorOf([&] { ReadTextFileLines(dir / "coef.dat"); }, &code);
    const std::string writeError = FileErrorOf([&] { WriteTextFileLines(dir / "coef.dat", {"new"}); });
    CloseHandle(held);
    EXPECT_EQ(readError, "File access denied");
    EXPECT_EQ(code, 5);
    EXPECT_EQ(writeError, "File access denied");
    EXPECT_EQ(ReadBytes(dir / "coef.dat"), "earlier\r\n");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"coef.dat"});
}

TEST(WinTextFile, ReadOnlyFileCannotBeReplaced) {
    // The writers look at the attribute themselves: Wine's MoveFileEx would replace the file, where
    // Windows refuses.
    TTempDir dir;
    WriteTextFileLines(dir / "tmp.dat", {"kept"});
    ASSERT_TRUE(SetFileAttributesW(Widen(dir / "tmp.dat").c_str(), FILE_ATTRIBUTE_READONLY));
    int code = 0;
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / "tmp.dat", {"new"}); }, &code),
              "File access denied");
    EXPECT_EQ(code, 5);
    EXPECT_EQ(FileErrorOf([&] { TTextFileWriter writer(dir / "tmp.dat"); }), "File access denied");
    EXPECT_EQ(ReadTextFileLines(dir / "tmp.dat"), std::vector<std::string>{"kept"});
    EXPECT_EQ(GetFileAttributesW(Widen(dir / "tmp.dat").c_str()) & FILE_ATTRIBUTE_READONLY,
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"tmp.dat"});
}

TEST(WinTextFile, DeviceIsRefusedByBothWriters) {
    for (const std::string device : {"\\\\.\\NUL", "NUL"}) {
        int code = 0;
        EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(device, {"x"}); }, &code), "File access denied")
            << device;
        EXPECT_EQ(code, 5) << device;
        EXPECT_EQ(FileErrorOf([&] { TTextFileWriter writer(device); }), "File access denied") << device;
    }
}

TEST(WinTextFile, LinkLeadsBothWritersToItsFileAndStaysALink) {
    TTempDir dir;
    WriteTextFileLines(dir / "real.dat", {"old"});
    const auto isLink = [&] {
        const DWORD attributes = GetFileAttributesW(Widen(dir / "link.dat").c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    };
    // Without the privilege or the developer mode Windows makes no link; Wine reports one made and
    // makes none.
    if (!CreateSymbolicLinkW(Widen(dir / "link.dat").c_str(), Widen(dir / "real.dat").c_str(),
                             SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
        !isLink()) {
        GTEST_SKIP() << "no symbolic link can be made here";
    }
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / "link.dat", {"whole"}); }), "");
    EXPECT_EQ(ReadBytes(dir / "real.dat"), "whole\r\n");
    EXPECT_TRUE(isLink());
    EXPECT_EQ(FileErrorOf([&] {
                  TTextFileWriter writer(dir / "link.dat");
                  writer.WriteLine("line");
                  writer.Close();
              }),
              "");
    EXPECT_EQ(ReadBytes(dir / "real.dat"), "line\r\n");
    EXPECT_TRUE(isLink());
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"link.dat", "real.dat"}));

    // Once the file is gone the link leads nowhere: refused, and no file is made for it.
    ASSERT_TRUE(DeleteFileW(Widen(dir / "real.dat").c_str()));
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / "link.dat", {"x"}); }), "File access denied");
    EXPECT_EQ(FileErrorOf([&] { TTextFileWriter writer(dir / "link.dat"); }), "File access denied");
    EXPECT_TRUE(isLink());
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"link.dat"});
}

TEST(WinTextFile, FirstLinesStopAtTheCountAndKeepAnEditsWorthOfEachLine) {
    TTempDir dir;
    WriteBytes(dir / "in.dat", "a\r\nb\nc\r\n\r\nlast");
    EXPECT_EQ(ReadFirstTextFileLines(dir / "in.dat", 2), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(ReadFirstTextFileLines(dir / "in.dat", 15),
              (std::vector<std::string>{"a", "b", "c", "", "last"}));
    // A line far longer than an edit holds, its CR LF split between two reads of 64 KiB.
    const std::string first(65535, 'x');
    WriteBytes(dir / "long.dat", first + "\r\nsecond\r\nthird\r\n");
    EXPECT_EQ(ReadFirstTextFileLines(dir / "long.dat", 2),
              (std::vector<std::string>{first.substr(0, kMaxTextLineBytes), "second"}));
    EXPECT_EQ(ReadTextFileLines(dir / "long.dat"), (std::vector<std::string>{first, "second", "third"}));
}

TEST(WinTextFile, NameWithNoRoomForTheTemporaryEndingIsWrittenInPlace) {
    TTempDir dir;
    // The longest name the file may have, whose temporary file's name would be too long: under Wine a
    // name of 254 characters (only a name's own length is limited, to 255); on Windows the whole path
    // is limited as well (to MAX_PATH - 1 characters), so the name fills the path to that limit.
    const std::size_t folder = (dir / "").size();
    const std::size_t length = UnderWine() ? 254 : std::min<std::size_t>(254, MAX_PATH - 1 - folder);
    ASSERT_GT(length, 20u) << "the temporary folder's path is too long for this test";
    const std::string name = std::string(length - 4, 'n') + ".dat";
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / name, {"first", "file"}); }), "");
    EXPECT_EQ(ReadBytes(dir / name), "first\r\nfile\r\n");
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / name, {"2"}); }), "");
    EXPECT_EQ(ReadBytes(dir / name), "2\r\n");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{name});
}

TEST(WinTextFile, LineWriterHandsEachLineOverAtOnceAndRefusesWhatCannotBeWritten) {
    TTempDir dir;
    WriteBytes(dir / "tmp.dat", std::string(3000, 'o') + "\r\n");
    {
        TTextFileWriter writer(dir / "tmp.dat");
        EXPECT_EQ(ReadBytes(dir / "tmp.dat", true), "") << "an existing file is emptied when it is opened";
        writer.WriteLine("16.00");
        EXPECT_EQ(ReadBytes(dir / "tmp.dat", true), "16.00\r\n");
        writer.WriteLine("Ёж");
        EXPECT_EQ(ReadBytes(dir / "tmp.dat", true), "16.00\r\n\xA8\xE6\r\n");
        writer.Close();
    }
    // The writer's handle is gone: a whole save goes through.
    EXPECT_EQ(FileErrorOf([&] { WriteTextFileLines(dir / "tmp.dat", {"16.00", "Ёж"}); }), "");
    EXPECT_EQ(ReadBytes(dir / "tmp.dat"), "16.00\r\n\xA8\xE6\r\n");

    ASSERT_TRUE(CreateDirectoryW(Widen(dir / "sub").c_str(), nullptr));
    EXPECT_EQ(FileErrorOf([&] { TTextFileWriter writer(dir / "sub"); }), "File access denied");
    EXPECT_EQ(FileErrorOf([&] { TTextFileWriter writer(dir / "none\\tmp.dat"); }), "Invalid filename");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"sub", "tmp.dat"}));
}

// The write journal: the pair of blocks kept per adapter while a block is written, and whether a block
// read afterwards is one that the cut-off write can have left.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "coef/Errors.h"
#include "coef/WriteJournal.h"
#include "support/Files.h"

namespace {

// A block whose every byte differs from the same byte of a block of another seed.
TCoefImageBytes Block(int seed) {
    TCoefImageBytes block{};
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(seed * 71 + static_cast<int>(i));
    }
    return block;
}

TJournalEntry Entry(std::int32_t factoryNumber, int foundSeed, int sentSeed) {
    return {factoryNumber, Block(foundSeed), Block(sentSeed)};
}

// A journal line as a person would write it out by hand from the two blocks.
std::string Line(const TJournalEntry& e) {
    std::string line = std::to_string(e.FactoryNumber) + " found=";
    char hex[3];
    for (const auto b : e.Found) {
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(b));
        line += hex;
    }
    line += " sent=";
    for (const auto b : e.Sent) {
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(b));
        line += hex;
    }
    return line;
}

std::string FileOf(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const auto& line : lines) {
        bytes += line + "\r\n";
    }
    return bytes;
}

void ExpectFound(const TWriteJournal& journal, const TJournalEntry& e) {
    const auto found = journal.Find(e.FactoryNumber);
    ASSERT_TRUE(found.has_value()) << e.FactoryNumber;
    EXPECT_EQ(found->FactoryNumber, e.FactoryNumber);
    EXPECT_EQ(found->Found, e.Found) << e.FactoryNumber;
    EXPECT_EQ(found->Sent, e.Sent) << e.FactoryNumber;
}

std::string FileErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const EInOutError& e) {
        return e.what();
    }
    return "";
}

ino_t InodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The first line of every journal, as files already written have it.
const std::string kFirst = "rq7 write journal 1";

} // namespace

TEST(WriteJournal, KeepsOneReadablePairPerAdapterAndReplacesOnlyThatAdaptersPair) {
    TempDir dir;
    TWriteJournal journal(dir / "write-journal.txt");
    const TJournalEntry a = Entry(101001, 1, 2);
    const TJournalEntry b = Entry(-7, 3, 4);
    const TJournalEntry a2 = Entry(101001, 5, 6);
    EXPECT_FALSE(journal.Find(101001).has_value());
    journal.Keep(a);
    journal.Keep(b);
    ExpectFound(journal, a);
    ExpectFound(journal, b);
    journal.Keep(a2);
    ExpectFound(journal, a2);
    ExpectFound(journal, b);
    EXPECT_FALSE(journal.Find(101002).has_value());
    // The pair kept last goes last; nothing else is left in the folder.
    EXPECT_EQ(ReadFileBytes(journal.Path()), FileOf({kFirst, Line(b), Line(a2)}));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"write-journal.txt"});
}

TEST(WriteJournal, ForgetRemovesOnlyThatAdapterAndOtherwiseWritesNothing) {
    TempDir dir;
    TWriteJournal journal(dir / "j.txt");
    const TJournalEntry a = Entry(1, 1, 2);
    const TJournalEntry b = Entry(2, 3, 4);
    journal.Keep(a);
    journal.Keep(b);
    journal.Forget(1);
    EXPECT_FALSE(journal.Find(1).has_value());
    ExpectFound(journal, b);
    EXPECT_EQ(ReadFileBytes(journal.Path()), FileOf({kFirst, Line(b)}));
    // Nothing left of adapter 1: the file is not rewritten (a rewrite would be a new file).
    const ino_t inode = InodeOf(journal.Path());
    journal.Forget(1);
    EXPECT_EQ(InodeOf(journal.Path()), inode);
    // No file, no folder: none is made.
    TWriteJournal(dir / "none.txt").Forget(2);
    TWriteJournal(dir / "sub/none.txt").Forget(2);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"j.txt"});
}

TEST(WriteJournal, DamagedLinesGiveNothingWhileOtherLinesStillRead) {
    TempDir dir;
    const TJournalEntry good = Entry(8, 1, 2);
    const TJournalEntry seven = Entry(7, 3, 4);
    const std::string line = Line(seven);
    const std::size_t sent = line.find(" sent=");
    const struct {
        const char* What;
        std::string Line;
    } damaged[] = {
        {"cut short", line.substr(0, line.size() - 1)},
        {"a digit too many", line + "0"},
        {"not a hex digit", line.substr(0, line.size() - 1) + "g"},
        {"no sent block", line.substr(0, sent)},
        {"blocks swapped", "7 sent=" + line.substr(sent + 6) + " found=" + line.substr(8, sent - 8)},
        {"trailing text", line + " ok"},
        {"two spaces", "7  " + line.substr(2)},
        {"leading zero", "0" + line},
        {"plus sign", "+" + line},
    };
    for (const auto& c : damaged) {
        WriteFileBytes(dir / "j.txt", FileOf({kFirst, c.Line, Line(good)}));
        TWriteJournal journal(dir / "j.txt");
        EXPECT_FALSE(journal.Find(7).has_value()) << c.What;
        ExpectFound(journal, good);
        // Keeping another adapter's pair leaves the damaged line as it was.
        journal.Keep(Entry(9, 5, 6));
        EXPECT_EQ(ReadFileBytes(dir / "j.txt"), FileOf({kFirst, c.Line, Line(good), Line(Entry(9, 5, 6))}))
            << c.What;
        EXPECT_FALSE(journal.Find(7).has_value()) << c.What;
    }
    // The newest line of an adapter decides: a damaged one after a good one gives nothing.
    WriteFileBytes(dir / "j.txt", FileOf({kFirst, line, line + "0"}));
    EXPECT_FALSE(TWriteJournal(dir / "j.txt").Find(7).has_value());
    // Capital hex digits are read as well: a person may have copied a block.
    std::string upper = line;
    for (std::size_t i = 0; i < upper.size(); ++i) {
        const bool digit = (i >= 8 && i < sent) || i >= sent + 6; // past "7 found=" and " sent="
        if (digit && upper[i] >= 'a' && upper[i] <= 'f') {
            upper[i] = static_cast<char>(upper[i] - 'a' + 'A');
        }
    }
    WriteFileBytes(dir / "j.txt", FileOf({kFirst, upper}));
    ExpectFound(TWriteJournal(dir / "j.txt"), seven);
}

TEST(WriteJournal, AFileNotOursIsNeitherReadNorOverwritten) {
    TempDir dir;
    const std::string line = Line(Entry(7, 1, 2));
    const std::string files[] = {
        "",
        "\r\n",
        line + "\r\n",
        "rq7 write journal 2\r\n" + line + "\r\n",
        "RQ7 WRITE JOURNAL 1\r\n" + line + "\r\n",
        kFirst + " \r\n" + line + "\r\n",
        "[Settings]\r\nPort=COM1\r\n",
    };
    for (const std::string& bytes : files) {
        WriteFileBytes(dir / "j.txt", bytes);
        TWriteJournal journal(dir / "j.txt");
        EXPECT_FALSE(journal.Find(7).has_value()) << bytes;
        std::string message;
        int code = 0;
        try {
            journal.Keep(Entry(7, 3, 4));
        } catch (const EInOutError& e) {
            message = e.what();
            code = e.ErrorCode;
        }
        EXPECT_EQ(message, "Not a write journal: " + (dir / "j.txt")) << bytes;
        EXPECT_EQ(code, TWriteJournal::kNotAJournal);
        journal.Forget(7);
        EXPECT_EQ(ReadFileBytes(dir / "j.txt"), bytes);
        EXPECT_EQ(dir.Names(), std::vector<std::string>{"j.txt"});
    }
}

TEST(WriteJournal, KeepMakesTheMissingFoldersForTheUserAlone) {
    TempDir dir;
    TWriteJournal journal(dir / "data/rq7/write-journal.txt");
    journal.Keep(Entry(5, 1, 2));
    ExpectFound(journal, Entry(5, 1, 2));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A file where the folder should be, a folder where the file should be: refused, and left as they are.
    WriteFileBytes(dir / "plain", "x");
    EXPECT_EQ(FileErrorOf([&] { TWriteJournal(dir / "plain/j.txt").Keep(Entry(5, 1, 2)); }),
              "Invalid filename");
    EXPECT_EQ(FileErrorOf([&] { TWriteJournal(dir / "data/rq7").Keep(Entry(5, 1, 2)); }),
              "File access denied");
    EXPECT_EQ(FileErrorOf([&] { TWriteJournal(dir / "data/rq7").Find(5); }), "File access denied");
    EXPECT_EQ(ReadFileBytes(dir / "plain"), "x");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"data", "plain"}));
}

TEST(WriteJournal, KeepsTheNewestThousandAdapters) {
    TempDir dir;
    std::vector<std::string> lines = {kFirst};
    for (int n = 1; n <= 1000; ++n) {
        lines.push_back(Line(Entry(n, n, n + 1)));
    }
    WriteFileBytes(dir / "j.txt", FileOf(lines));
    TWriteJournal journal(dir / "j.txt");
    journal.Keep(Entry(2, 7, 8)); // already there: goes last, and no other goes
    journal.Keep(Entry(5000, 1, 2));
    EXPECT_FALSE(journal.Find(1).has_value());
    for (const int n : {3, 1000}) {
        ExpectFound(journal, Entry(n, n, n + 1));
    }
    ExpectFound(journal, Entry(2, 7, 8));
    ExpectFound(journal, Entry(5000, 1, 2));
    EXPECT_EQ(ReadFileBytes(dir / "j.txt").substr(0, kFirst.size() + 3), kFirst + "\r\n3");
}

TEST(WriteJournal, DefaultPathFollowsXdgDataHome) {
    ScopedEnv home("HOME", "/home/op");
    const struct {
        std::optional<std::string> DataHome;
        std::string Path;
    } cases[] = {
        {"/x/data", "/x/data/rq7/write-journal.txt"},
        {"/x/data//", "/x/data/rq7/write-journal.txt"},
        {"/", "/rq7/write-journal.txt"},
        {std::nullopt, "/home/op/.local/share/rq7/write-journal.txt"},
        {"", "/home/op/.local/share/rq7/write-journal.txt"},
        {"x/data", "/home/op/.local/share/rq7/write-journal.txt"},
    };
    for (const auto& c : cases) {
        ScopedEnv xdg("XDG_DATA_HOME", c.DataHome);
        EXPECT_EQ(TWriteJournal::DefaultPath(), c.Path) << c.DataHome.value_or("(unset)");
    }
}

TEST(WriteJournal, ABlockFitsWhenEachSlotIsTheFoundOrTheSentOne) {
    const TJournalEntry entry = Entry(101001, 1, 2);
    // The block read, slot by slot: 'f' found, 's' sent, 'x' neither; then a byte changed, if any.
    const struct {
        const char* Slots;
        int ChangedByte;
        bool Fits;
    } cases[] = {
        {"ffffffffffffffff", -1, true},  {"ssssssssssssssss", -1, true},  {"sssssfffffffffff", -1, true},
        {"fsfsfsfsfsfsfsfs", -1, true},  {"xfffffffffffffff", -1, false}, {"sssssssssssssssx", -1, false},
        {"ffffffsxssssssss", -1, false}, {"ffffffffffffffff", 0, true}, // bytes 0..3 are no slot
        {"ssssssssssssssss", 3, true},   {"ffffffffffffffff", 4, false},  {"ssssssssssssssss", 67, false},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(std::strlen(c.Slots), 16u);
        TCoefImageBytes read = entry.Found;
        for (std::size_t k = 1; k <= 16; ++k) {
            for (std::size_t i = 4 * k; i < 4 * k + 4; ++i) {
                const char from = c.Slots[k - 1];
                read[i] = from == 'f' ? entry.Found[i] : from == 's' ? entry.Sent[i] : 0xEE;
            }
        }
        if (c.ChangedByte >= 0) {
            read[static_cast<std::size_t>(c.ChangedByte)] ^= 0x01;
        }
        EXPECT_EQ(ReadBlockFitsJournal(read, entry), c.Fits) << c.Slots << " " << c.ChangedByte;
    }
    // A slot of which a part is found and a part sent fits neither.
    TCoefImageBytes torn = entry.Found;
    torn[20] = entry.Sent[20];
    EXPECT_FALSE(ReadBlockFitsJournal(torn, entry));
}

// The set-up protocol of a service record: its rows as found and as left with the changes marked, the
// HTML self-contained, and the PDF read back with poppler's pdftotext and pdffonts (text selectable, the
// Cyrillic fonts embedded).

#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>
#include <algorithm>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>

#include "coef/CoefBlock.h"
#include "record/Protocol.h"
#include "record/ProtocolRows.h"
#include "support/Files.h"

namespace {

// The initial values of the technological window, as an adapter leaves the factory.
TTechTexts InitialTexts() {
    TTechTexts texts;
    texts.Values = {"1010", "630", "16", "4", "85", "-40", "16", "4", "200", "1.5", "16", "4"};
    texts.ZavodEdit = "0101001";
    texts.AdrEdit = "1";
    return texts;
}

TRecordedSlots SlotsOf(const TTechTexts& texts, TLocalTime when) {
    TCoefBlock block;
    block.LocalNow = [when] { return when; };
    block.BuildImageFromTech(texts);
    EXPECT_EQ(block.ImageError, 0);
    TRecordedSlots recorded{};
    for (int k = 1; k <= 16; ++k) {
        recorded.at(static_cast<std::size_t>(k - 1)) = SlotOfImage(block.CoefImage, k);
    }
    return recorded;
}

// A limits change of adapter 0101001: channel 2's limit at 20 mA from 85 to 90.5, the address from 1 to
// 7, the rest as found.
TServiceRecord LimitsRecord() {
    TServiceRecord record;
    record.Id = 42;
    record.Time = "2026-12-10T09:14:03+03:00";
    record.Station = "stend-3";
    record.User = "ivanov (Иванов И. И.)";
    record.Program = "rq7 0.1.0";
    record.Port = "/dev/ttyUSB0";
    record.Operation = TRecordOperation::Limits;
    record.FactoryNumber = 101001;
    TTechTexts left = InitialTexts();
    left.Values[4] = "90.5";
    left.AdrEdit = "7";
    record.AsFound =
        TAsFound{SlotsOf(InitialTexts(), {2025, 3, 4, 10, 20, 0}), true, "2026-12-10T09:10:00+03:00"};
    TAsLeft asLeft;
    asLeft.Sent = SlotsOf(left, {2026, 12, 10, 9, 14, 2});
    asLeft.State.fill(TRecordedSlotState::New);
    asLeft.Verified = true;
    record.AsLeft = asLeft;
    record.Outcome = {0, "Запись завершена"};
    return record;
}

const TProtocolRow& RowOf(const std::vector<TProtocolRow>& rows, int slot) {
    const auto it =
        std::find_if(rows.begin(), rows.end(), [slot](const TProtocolRow& r) { return r.Slot == slot; });
    if (it == rows.end()) {
        throw std::logic_error("no row for slot " + std::to_string(slot));
    }
    return *it;
}

// Runs a poppler tool on a file; its standard output.
std::string RunTool(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    EXPECT_TRUE(process.waitForFinished(60000)) << program.toStdString();
    EXPECT_EQ(process.exitCode(), 0) << program.toStdString() << ": "
                                     << process.readAllStandardError().toStdString();
    return process.readAllStandardOutput().toStdString();
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

TEST(ProtocolRows, ValuesAsTheWindowsShowThemWithTheirChangesMarked) {
    const std::vector<TProtocolRow> rows = ProtocolRows(LimitsRecord());
    ASSERT_EQ(rows.size(), 15u);
    struct Case {
        int Slot;
        const char* Name;
        const char* Found;
        const char* Left;
        TRowChange Change;
    };
    const Case cases[] = {
        {1, "Канал 1: значение параметра при 20 мА", "1010.00", "1010.00", TRowChange::Same},
        {3, "Канал 1: ток при коде 16 мА", "16.0000", "16.0000", TRowChange::Same},
        // Channel 2's limits are kept 100 above what is shown.
        {5, "Канал 2: значение параметра при 20 мА", "85.00", "90.50", TRowChange::Changed},
        {6, "Канал 2: значение параметра при 4 мА", "-40.00", "-40.00", TRowChange::Same},
        {10, "Канал 3: значение параметра при 4 мА", "1.50", "1.50", TRowChange::Same},
        {12, "Канал 3: ток при коде 4 мА", "4.0000", "4.0000", TRowChange::Same},
        {13, "Заводской номер", "0101001", "0101001", TRowChange::Same},
        {15, "Адрес", "1", "7", TRowChange::Changed},
        // The recording date is shown as the windows show it, and never counted as a change.
        {14, "Дата записи коэффициентов", "10:20  4.3.2025", "9:14  10.12.2026", TRowChange::Same},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("slot " + std::to_string(c.Slot));
        const TProtocolRow& row = RowOf(rows, c.Slot);
        EXPECT_EQ(row.Name, c.Name);
        EXPECT_EQ(row.Found, c.Found);
        EXPECT_EQ(row.Left, c.Left);
        EXPECT_EQ(row.Change, c.Change);
    }
}

TEST(ProtocolRows, AChangeStandsByHowFarTheWriteGot) {
    struct Case {
        TRecordedSlotState State;
        TRowChange Change;
        const char* Mark;
    };
    const Case cases[] = {
        {TRecordedSlotState::New, TRowChange::Changed, "изменено"},
        {TRecordedSlotState::Unknown, TRowChange::Unconfirmed, "не подтверждено"},
        {TRecordedSlotState::Old, TRowChange::NotWritten, "не записано"},
    };
    for (const Case& c : cases) {
        TServiceRecord record = LimitsRecord();
        record.AsLeft->State.fill(TRecordedSlotState::New);
        record.AsLeft->State[4] = c.State;
        const std::vector<TProtocolRow> rows = ProtocolRows(record);
        EXPECT_EQ(RowOf(rows, 5).Change, c.Change);
        EXPECT_STREQ(RowChangeText(RowOf(rows, 5).Change), c.Mark);
        EXPECT_EQ(RowOf(rows, 1).Change, TRowChange::Same); // same bytes: no mark, whatever the state
    }
    // Without a block read before the write nothing is compared, and nothing is shown as found.
    TServiceRecord unread = LimitsRecord();
    unread.AsFound.reset();
    for (const TProtocolRow& row : ProtocolRows(unread)) {
        EXPECT_TRUE(row.Found.empty());
        EXPECT_EQ(row.Change, TRowChange::Same);
    }
}

TEST(ProtocolRows, RecordPartsInWords) {
    struct Case {
        std::string Iso, Shown;
    };
    const Case times[] = {
        {"2026-12-10T09:14:03+03:00", "10.12.2026 09:14:03 (UTC+03:00)"},
        {"2026-01-02T23:59:59Z", "02.01.2026 23:59:59 (UTC)"},
        {"2026-01-02T23:59:59", "02.01.2026 23:59:59"},
        {"вчера", "вчера"}, // not a time of ours: shown as it is
    };
    for (const Case& c : times) {
        EXPECT_EQ(RecordTimeText(c.Iso), c.Shown);
    }
    TServiceRecord record = LimitsRecord();
    EXPECT_EQ(RecordAddressText(record), "7");
    record.AsLeft.reset();
    EXPECT_EQ(RecordAddressText(record), "1");
    EXPECT_EQ(ReadBackText(record), "не выполнялось");
    record.AsFound->ChecksumOk = false;
    EXPECT_EQ(ChecksumText(record), "неверна (\"Ошибка кс\")");
    record.Outcome = {std::nullopt, kOutcomeBegun};
    EXPECT_EQ(OutcomeText(record), "запись начата, её итог не записан");
    record.Outcome = {8, "Нет ответа"};
    EXPECT_EQ(OutcomeText(record), "Нет ответа (код 8)");
    record.FactoryNumber.reset();
    EXPECT_EQ(RecordFactoryNumberText(record), "—");
}

TEST(Protocol, HtmlIsOneSelfContainedFileWithTheUsersTextsEscaped) {
    TServiceRecord record = LimitsRecord();
    record.Station = "<img src=\"http://example.com/x.png\">";
    record.File = TRecordedFile{"коэф & <новые>.dat", std::string(64, 'a')};
    const std::string html = ProtocolHtml(record);
    EXPECT_NE(html.find("<title>Протокол настройки адаптера RQ7</title>"), std::string::npos);
    EXPECT_NE(html.find("&lt;img src=&quot;http://example.com/x.png&quot;&gt;"), std::string::npos);
    EXPECT_NE(html.find("коэф &amp; &lt;новые&gt;.dat"), std::string::npos);
    // Nothing is fetched from outside: no source, link, stylesheet, import or url().
    EXPECT_FALSE(std::regex_search(html, std::regex(R"(<[^>]*\b(src|href)\s*=)", std::regex::icase)));
    EXPECT_FALSE(std::regex_search(html, std::regex(R"(<link|<script|@import|url\()", std::regex::icase)));

    TempDir dir;
    WriteProtocolHtml(record, dir / "p.html");
    EXPECT_EQ(ReadAll(dir / "p.html"), html);
}

TEST(Protocol, PdfTextReadsBackWithItsCyrillicFontsEmbedded) {
    TempDir dir;
    const std::string path = dir / "протокол.pdf";
    WriteProtocolPdf(LimitsRecord(), path);

    const std::string text =
        RunTool(QStringLiteral("pdftotext"),
                {QStringLiteral("-layout"), QString::fromStdString(path), QStringLiteral("-")});
    for (const char* expected :
         {"Протокол настройки адаптера RQ7", "Запись журнала №", "42", "0101001", "10.12.2026 09:14:03",
          "stend-3", "Иванов И. И.", "rq7 0.1.0", "/dev/ttyUSB0", "изменение границ",
          "Канал 2: значение параметра при 20 мА", "85.00", "90.50", "изменено", "9:14 10.12.2026", "верна",
          "совпадает с записанным", "Запись завершена (код 0)", "Настройку выполнил"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << "missing: " << expected << "\n" << text;
    }
    // The changed value and its mark stand on one line: as found, as left, "изменено".
    EXPECT_TRUE(std::regex_search(text, std::regex("при 20 мА +85\\.00 +90\\.50 +изменено"))) << text;
    EXPECT_FALSE(std::regex_search(text, std::regex("при 4 мА +-40\\.00 +-40\\.00 +изменено"))) << text;

    // pdffonts: a header of two lines, then one line per font; every font embedded, DejaVu among them.
    const std::string fonts = RunTool(QStringLiteral("pdffonts"), {QString::fromStdString(path)});
    std::istringstream lines(fonts);
    std::string line;
    int fontLines = 0;
    bool dejaVu = false;
    for (int n = 0; std::getline(lines, line); ++n) {
        if (n < 2 || line.empty()) {
            continue;
        }
        ++fontLines;
        dejaVu = dejaVu || line.find("DejaVu") != std::string::npos;
        // Columns: name, type, encoding, emb, sub, uni, object, id.
        EXPECT_TRUE(std::regex_search(line, std::regex(R"( yes +(yes|no) +(yes|no) +\d+ +\d+$)"))) << line;
    }
    EXPECT_GT(fontLines, 0) << fonts;
    EXPECT_TRUE(dejaVu) << fonts;
}

TEST(Protocol, AFileThatCannotBeWrittenIsNamedAndNothingIsLeft) {
    TempDir dir;
    const std::string path = dir / "нет/протокол";
    for (const auto& write : {&WriteProtocolPdf, &WriteProtocolHtml}) {
        try {
            write(LimitsRecord(), path);
            ADD_FAILURE() << "written into a missing folder";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find("Не удалось записать протокол в файл \"" + path + "\""),
                      std::string::npos)
                << error.what();
        }
    }
    EXPECT_TRUE(dir.Names().empty());
}

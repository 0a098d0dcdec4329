// rq7cli against the adapter simulator, run in-process on the watched line (no real time in its waits),
// and a few runs of the real program as a process.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <sys/wait.h>

#include "cli/CliArguments.h"
#include "cli/LineTrace.h"
#include "cli/Rq7Cli.h"
#include "coef/TextFile.h"
#include "link/StopEvent.h"
#include "sim/SimBlock.h"
#include "sim/Simulator.h"
#include "support/CliFixture.h"
#include "support/Files.h"
#include "support/WatchedLine.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Usage

TEST_F(CliTest, HelpListsEveryCommandAndExitCode) {
    const TCliRun run = RunArgs({"--help"});
    EXPECT_EQ(run.Code, 0);
    EXPECT_EQ(RunArgs({"help"}).Out, run.Out);
    for (const char* text : {"ports", "read", "write", "limits", "translate", "help [КОМАНДА]", "--port ИМЯ",
                             "--trace", "--version", "Коды завершения"}) {
        EXPECT_NE(run.Out.find(text), std::string::npos) << text;
    }
    for (const char* code : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  5 ", "\n  6 ", "\n  7 ",
                             "\n  8 ", "\n  9 ", "\n  10 ", "\n  11 ", "\n  130 "}) {
        EXPECT_NE(run.Out.find(code), std::string::npos) << code;
    }
    // Each command's own help: its options with their values, an example; the same both ways.
    const std::vector<std::pair<std::string, std::string>> commands = {
        {"ports", "rq7cli ports [--json]"},
        {"read", "rq7cli read [--json] [--output ФАЙЛ] [--history ФАЙЛ] [--no-history] [--technician ИМЯ] "
                 "[--port ИМЯ] [--trace]"},
        {"write", "rq7cli write ФАЙЛ [--no-verify]"},
        {"limits", "[--ch1 ВЕРХ,НИЗ] [--ch2 ВЕРХ,НИЗ] [--ch3 ВЕРХ,НИЗ] [--no-verify]"},
        {"translate", "rq7cli translate [--history ФАЙЛ] [--no-history] [--technician ИМЯ] [--port ИМЯ]"},
        {"history", "rq7cli history [--factory-number N] [--since ГГГГ-ММ-ДД] [--json] [--csv] [--check]"},
        {"report", "rq7cli report [ID] [--factory-number N] [--pdf ФАЙЛ] [--html ФАЙЛ]"},
        {"restore", "rq7cli restore ID [--as-found] [--as-left] [--other-adapter]"},
        {"compare", "rq7cli compare [--file ФАЙЛ] [--record ID]"}};
    for (const auto& [command, synopsis] : commands) {
        const TCliRun own = RunArgs({command, "--help"});
        EXPECT_EQ(own.Code, 0) << command;
        EXPECT_NE(own.Out.find(synopsis), std::string::npos) << own.Out;
        const std::size_t example = own.Out.find("Пример:\n  ");
        ASSERT_NE(example, std::string::npos) << own.Out;
        EXPECT_NE(own.Out.find("rq7cli " + command, example), std::string::npos) << own.Out;
        EXPECT_EQ(RunArgs({"help", command}).Out, own.Out) << command;
    }
    const TCliRun version = RunArgs({"--version"});
    EXPECT_EQ(version.Code, 0);
    EXPECT_EQ(version.Out.rfind("rq7cli ", 0), 0u) << version.Out;
}

TEST_F(CliTest, WrongUsageExitsOneAndSendsNothing) {
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"frob"},
        {"write"},
        {"read", "--bogus"},
        {"write", "f.dat", "--json"},
        {"read", "extra"},
        {"limits", "--ch1", "16"},
        {"translate", "--output", "x"},
    };
    for (const auto& args : wrong) {
        const TCliRun run = Run(args, "Vosek\nTrimel\n");
        EXPECT_EQ(run.Code, 1) << (args.empty() ? "" : args[0]) << ": " << run.Err;
        EXPECT_NE(run.Err.find("rq7cli"), std::string::npos);
    }
    EXPECT_EQ(Line.BytesWritten(), 0u);
}

TEST_F(CliTest, PortsListsThePortsAsTheSetupDialogDoes) {
    ASSERT_EQ(std::system(("mkdir -p '" + Dir / "dev" + "' '" + Dir / "sys/class/tty" + "'").c_str()), 0);
    ASSERT_EQ(::symlink(Sim.DevicePath().c_str(), (Dir / "dev/ttyRQ7b").c_str()), 0);
    ASSERT_EQ(::symlink(Sim.DevicePath().c_str(), (Dir / "dev/ttyRQ7a").c_str()), 0);
    const TCliRun run = RunArgs({"ports"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    // Links outside the system's device folder are listed by the path that opens them.
    EXPECT_EQ(run.Out, Dir / "dev/ttyRQ7a\n" + Dir / "dev/ttyRQ7b\n");
}

TEST_F(CliTest, MissingPortExitsTwoNamingThePortAndItsCode) {
    const std::string port = Dir / "no-such-port";
    const TCliRun run = RunArgs({"read", "--port", port});
    EXPECT_EQ(run.Code, 2);
    EXPECT_NE(run.Err.find("Неудача при открытии порта"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find(port), std::string::npos);
    EXPECT_NE(run.Err.find("(win error code: 2)"), std::string::npos) << run.Err;
}

// ---------------------------------------------------------------------------------------------
// read

TEST_F(CliTest, ReadShowsTheBlockAsTheTechnologicalWindowWithItsRequestsAndWaits) {
    const TCliRun run = Run({"read"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(Line.Journal, TechnologicalReadJournal());
    for (const char* text : {"16.00", "0.00", "16.0123", "3.9876", "85.00", "-40.00", "16.0045", "250.00",
                             "Зав.№ 0101001", "Адрес обращения 1", "Дата записи коэф. RQ7 14:5  3.7.2012"}) {
        EXPECT_NE(run.Out.find(text), std::string::npos) << text << " in\n" << run.Out;
    }
    EXPECT_EQ(run.Err, "");
}

TEST_F(CliTest, ReadJsonHasExactlyTheKeysWithTheShownValues) {
    Sim.SetSlot(5, EncodeSimFloat(185.1));
    Sim.SealImage();
    const QJsonObject json = ReadJson();
    QStringList keys = json.keys();
    keys.sort();
    EXPECT_EQ(keys, (QStringList{"address", "checksum_ok", "factory_number", "recorded", "slots", "texts",
                                 "values"}));
    const QJsonArray values = json["values"].toArray();
    ASSERT_EQ(values.size(), 12);
    EXPECT_EQ(values[0].toDouble(), 16.0);
    EXPECT_EQ(values[2].toDouble(), 16.0123);
    EXPECT_EQ(values[4].toDouble(), 85.1); // 100 below the slot, as shown
    EXPECT_EQ(values[5].toDouble(), -40.0);
    const QJsonArray texts = json["texts"].toArray();
    ASSERT_EQ(texts.size(), 12);
    EXPECT_EQ(texts[4].toString(), "85.10");
    EXPECT_EQ(texts[6].toString(), "16.0045");
    EXPECT_EQ(json["factory_number"].toString(), "0101001");
    EXPECT_EQ(json["address"].toInt(), 1);
    EXPECT_EQ(json["recorded"].toString(), "2012-07-03T14:05:10");
    EXPECT_EQ(json["checksum_ok"].toBool(), true);
    const QJsonArray slotTexts = json["slots"].toArray();
    ASSERT_EQ(slotTexts.size(), 16);
    for (int k = 1; k <= 16; ++k) {
        std::string hex = SlotHex(Sim.Slot(k));
        hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
        EXPECT_EQ(slotTexts[k - 1].toString().toStdString(), hex) << "slot " << k;
    }
}

TEST_F(CliTest, WrongChecksumExitsSevenWithTheValuesStillPrinted) {
    TSimSlot end = Sim.Slot(16);
    end[3] ^= 0x01;
    Sim.SetSlot(16, end);
    const TCliRun run = Run({"read"});
    EXPECT_EQ(run.Code, 7);
    EXPECT_NE(run.Out.find("16.0123"), std::string::npos);
    EXPECT_NE(run.Err.find("Ошибка кс"), std::string::npos);
    const TCliRun json = Run({"read", "--json"});
    EXPECT_EQ(json.Code, 7);
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(json.Out)).object()["checksum_ok"], false);

    // Such a block goes into no coefficient file: a later write would take it for the adapter's.
    const std::string path = Dir / "bad.dat";
    const TCliRun output = Run({"read", "--output", path});
    EXPECT_EQ(output.Code, 7);
    EXPECT_NE(output.Out.find("16.0123"), std::string::npos);
    EXPECT_EQ(output.Err,
              "rq7cli: Ошибка кс\nrq7cli: Файл " + path + " не записан: контрольная сумма блока неверна\n");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(CliTest, SilentOrRefusingAdapterExitsThreeWithTheWindowsTexts) {
    Sim.AddRule(TSimMatch::Any(), TSimAction::Silent(), 2);
    const TCliRun silent = Run({"read"});
    EXPECT_EQ(silent.Code, 3);
    EXPECT_EQ(silent.Err, "rq7cli: Нет ответа\n");
    EXPECT_EQ(silent.Out, "");

    Sim.AddRule(TSimMatch::ReadSlot(4), TSimAction::Exception(2), 2);
    const TCliRun refused = Run({"read"});
    EXPECT_EQ(refused.Code, 3);
    EXPECT_EQ(refused.Err, "rq7cli: Сбой!\n");
}

// Bytes that came after one collection and were dropped before the next request are shown as such, apart
// from the reply they followed.
TEST(LineTrace, DroppedBytesAreShownApartFromTheReplyBeforeThem) {
    std::ostringstream out;
    TLineTrace trace(out, SteadyMessageClock());
    const std::string request("\x00\x10\x01\x07\x00\x02\x04\x00\x00\x40\x80\x00\x00", 13);
    trace.Sent(reinterpret_cast<const std::uint8_t*>(request.data()),
               static_cast<std::int32_t>(request.size()));
    trace.Received("\x01\x10", 2);
    trace.Received("\xAA\x55", 2);
    trace.Discarded("\xAA\x55");
    const std::string text = out.str();
    EXPECT_NE(text.find("<- 01 10  incomplete reply\n"), std::string::npos) << text;
    EXPECT_NE(text.find("<- AA 55  discarded"), std::string::npos) << text;
    EXPECT_EQ(text.find("01 10 AA"), std::string::npos) << text;
}

TEST_F(CliTest, TraceShowsEveryFrameWithItsTimeAndWords) {
    const TCliRun run = Run({"read", "--trace"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    // Slot 1's request goes out after the identify and its 51 ms wait; its reply is taken 101 ms later.
    EXPECT_NE(run.Err.find("+   51.0 -> 00 03 01 01 00 02 95 E6  read slot 1\n"), std::string::npos)
        << run.Err;
    EXPECT_NE(run.Err.find("+    0.0 -> 00 03 00 00 00 07 05 D9  identify\n"), std::string::npos) << run.Err;
    const std::string reply = "+  152.0 <- 01 03 04 " + SlotHex(Sim.Slot(1)) + " ";
    const std::size_t at = run.Err.find(reply);
    ASSERT_NE(at, std::string::npos) << run.Err;
    EXPECT_EQ(run.Err.substr(at + reply.size() + 5, 14), "  slot 1 data\n"); // after the two CRC bytes
    std::size_t sent = 0;
    for (std::size_t at = run.Err.find(" -> "); at != std::string::npos; at = run.Err.find(" -> ", at + 1)) {
        ++sent;
    }
    EXPECT_EQ(sent, 17u);
}

TEST_F(CliTest, CtrlCDuringAReadStopsAfterTheSlotBeingRead) {
    StopWhen(TSimMatch::ReadSlot(3));
    const TCliRun run = Run({"read"});
    EXPECT_EQ(run.Code, 130);
    EXPECT_EQ(Sim.RequestFrames().size(), 4u); // identify and slots 1..3
    EXPECT_EQ(run.Out, "");
    EXPECT_NE(run.Err.find("Чтение прервано"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// The coefficient file and write

TEST_F(CliTest, ReadOutputWritesTheWindowsCoefficientFile) {
    const std::string path = Dir / "0101001.dat";
    const TCliRun run = Run({"read", "--output", path});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(ReadFileBytes(path),
              "1\r\n06/05/2024(07:08:10)\r\n0101001\r\n16.00\r\n0.00\r\n16.0123\r\n3.9876\r\n"
              "85.00\r\n-40.00\r\n16.0045\r\n4.0021\r\n250.00\r\n0.00\r\n15.9987\r\n3.9992\r\n");
    // A folder on the way that is missing is found before the port is opened.
    const std::string nowhere = Dir / "no-folder/x.dat";
    const TCliRun failed = Run({"read", "--output", nowhere});
    EXPECT_EQ(failed.Code, 5);
    EXPECT_EQ(failed.Err, "rq7cli: --output: нет папки " + (Dir / "no-folder") + "\n");
    EXPECT_TRUE(Sim.RequestFrames().size() == 17u) << "only the first read reached the adapter";
}

TEST_F(CliTest, FileRoundTripGivesBackTheFilesValuesWithTheWritesDate) {
    const std::string path = CoefFile(ValidLines());
    const TCliRun write = Run({"write", path}, "Vosek\nTrimel\n");
    ASSERT_EQ(write.Code, 0) << write.Err;
    EXPECT_NE(write.Out.find("все 16 слотов совпадают"), std::string::npos) << write.Out;
    EXPECT_EQ(Sim.Slot(1), EncodeSimFloat(500));
    EXPECT_EQ(Sim.Slot(5), EncodeSimFloat(190)); // channel 2's limit kept 100 above

    const std::string back = Dir / "back.dat";
    const TCliRun read = Run({"read", "--output", back});
    ASSERT_EQ(read.Code, 0) << read.Err;
    const std::vector<std::string> lines = ReadTextFileLines(back);
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[0], "1");
    EXPECT_EQ(lines[2], "0202002");
    const std::vector<std::string> expected = {"500.00",  "0.50",   "16.0010", "4.0020", "90.00",   "-45.50",
                                               "16.0030", "4.0040", "300.00",  "1.25",   "15.9900", "3.9800"};
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()), expected);
    EXPECT_NE(read.Out.find("Дата записи коэф. RQ7 7:8  6.5.2024"), std::string::npos) << read.Out;
}

TEST_F(CliTest, WriteHasTheWindowsRequestsAndWaitsThenTheReadBack) {
    const std::string path = CoefFile(ValidLines());
    // Without the service record, which reads the block first.
    const TCliRun run = Run({"write", path, "--no-verify", "--no-history"}, "Vosek\nTrimel\n");
    ASSERT_EQ(run.Code, 0) << run.Err;
    std::vector<std::string> expected;
    for (int k = 1; k <= 16; ++k) {
        expected.insert(expected.end(), {"write slot " + std::to_string(k), TWatchedLine::Wait(80),
                                         TWatchedLine::Wait(20), TWatchedLine::Wait(80)});
    }
    EXPECT_EQ(Line.Journal, expected);
}

TEST_F(CliTest, WrongPasswordExitsSixAndSendsNothing) {
    const std::string path = CoefFile(ValidLines());
    const std::vector<std::pair<const char*, const char*>> inputs = {
        {"vosek\nTrimel\n", "rq7cli: Пароль введен неверно\n"},
        {"Vosek\nTrimel!\n", "rq7cli: Пароль введен неверно!\n"},
        {"Vosek\n", "rq7cli: пароль не введён (ввод закончился)\n"},
        {"", "rq7cli: пароль не введён (ввод закончился)\n"},
        {"\nTrimel\n", "rq7cli: пароль не введён (пустая строка)\n"}};
    for (const auto& [input, said] : inputs) {
        const TCliRun run = Run({"write", path}, input);
        EXPECT_EQ(run.Code, 6) << input;
        EXPECT_EQ(run.Err, said) << input;
    }
    const TCliRun limits = Run({"limits", "--ch1", "10,1"}, "Trimel\n");
    EXPECT_EQ(limits.Code, 6);
    EXPECT_EQ(Line.BytesWritten(), 0u);
    EXPECT_TRUE(Sim.RequestFrames().empty());
}

TEST_F(CliTest, BadFileExitsFiveNamingTheLineAndSendsNothing) {
    std::vector<std::string> lines = ValidLines();
    lines[6] = "4,5";
    const TCliRun value = Run({"write", CoefFile(lines)}, "Vosek\nTrimel\n");
    EXPECT_EQ(value.Code, 5);
    EXPECT_NE(value.Err.find("Проверьте данные"), std::string::npos) << value.Err;
    EXPECT_NE(value.Err.find("строка 7: \"4,5\""), std::string::npos) << value.Err;

    lines = ValidLines();
    lines[0] = "один";
    const TCliRun address = Run({"write", CoefFile(lines)}, "Vosek\nTrimel\n");
    EXPECT_EQ(address.Code, 5);
    EXPECT_NE(address.Err.find("строка 1: \"один\""), std::string::npos) << address.Err;

    lines = ValidLines();
    lines.resize(10);
    const TCliRun shortFile = Run({"write", CoefFile(lines)}, "Vosek\nTrimel\n");
    EXPECT_EQ(shortFile.Code, 5);
    EXPECT_NE(shortFile.Err.find("файл короче 15 строк (в нём 10)"), std::string::npos) << shortFile.Err;

    // Empty lines after the fifteenth are passed over, as the window passes over all of them; others
    // are no coefficient file's.
    lines = ValidLines();
    lines.insert(lines.end(), {"", ""});
    EXPECT_EQ(Run({"write", CoefFile(lines), "--no-verify"}, "Vosek\nTrimel\n").Code, 0);
    lines.push_back("extra");
    const TCliRun longFile = Run({"write", CoefFile(lines)}, "Vosek\nTrimel\n");
    EXPECT_EQ(longFile.Code, 5);
    EXPECT_NE(longFile.Err.find("строка 18 не пуста"), std::string::npos) << longFile.Err;
    Line.Journal.clear();
    Sim.ClearLog();

    // A rejected line is shown with its control characters (a NUL byte too) escaped.
    lines = ValidLines();
    lines[4] = std::string("\x1b[2J\x07", 6);
    const TCliRun control = Run({"write", CoefFile(lines)}, "Vosek\nTrimel\n");
    EXPECT_EQ(control.Code, 5);
    EXPECT_NE(control.Err.find("строка 5: \"\\x1B[2J\\x07\\x00\""), std::string::npos) << control.Err;
    EXPECT_EQ(control.Err.find('\x1b'), std::string::npos);

    const TCliRun missing = Run({"write", Dir / "absent.dat"}, "Vosek\nTrimel\n");
    EXPECT_EQ(missing.Code, 5);
    EXPECT_NE(missing.Err.find("File not found"), std::string::npos) << missing.Err;
    EXPECT_TRUE(Sim.RequestFrames().empty());
}

TEST_F(CliTest, StoredWronglyExitsFourNamingTheSlotWithBothByteStrings) {
    Sim.AddRule(TSimMatch::WriteSlot(7), TSimAction::StoreWrongly(0), TSimRule::kAlways);
    const TCliRun run = Run({"write", CoefFile(ValidLines())}, "Vosek\nTrimel\n");
    EXPECT_EQ(run.Code, 4);
    const TSimSlot sent = EncodeSimFloat(16.003);
    TSimSlot stored = sent;
    stored[0] ^= 0xFF;
    EXPECT_EQ(Sim.Slot(7), stored);
    EXPECT_NE(run.Err.find("Слот 7: записано " + SlotHex(sent) + ", прочитано " + SlotHex(stored)),
              std::string::npos)
        << run.Err;
    EXPECT_EQ(run.Err.find("Слот 6"), std::string::npos);
    EXPECT_EQ(run.Err.find("Слот 8"), std::string::npos);
}

TEST_F(CliTest, WriteThatLosesTheAdapterMidBlockExitsEightSayingWhereEachSlotStands) {
    // Slot 3's two requests never reach the adapter; the one read that settles it finds its old bytes.
    Sim.AddRule(TSimMatch::WriteSlot(3), TSimAction::Silent(), 2);
    const TCliRun run = Run({"write", CoefFile(ValidLines())}, "Vosek\nTrimel\n");
    EXPECT_EQ(run.Code, 8);
    EXPECT_NE(run.Err.find("Нет ответа"), std::string::npos);
    EXPECT_NE(run.Err.find("Слоты с новыми значениями: 1-2; с прежними значениями: 3-16"), std::string::npos)
        << run.Err;
}

TEST_F(CliTest, CtrlCDuringAWriteFinishesTheBlockAndSkipsTheReadBack) {
    InterruptWhen(TSimMatch::WriteSlot(5));
    const TCliRun run = Run({"write", CoefFile(ValidLines()), "--no-history"}, "Vosek\nTrimel\n");
    EXPECT_EQ(run.Code, 9) << run.Err;
    EXPECT_NE(run.Err.find("блок дописан до конца, проверка чтением пропущена"), std::string::npos)
        << run.Err;
    EXPECT_EQ(Sim.Slot(5), EncodeSimFloat(190));
    EXPECT_EQ(Sim.Slot(12), EncodeSimFloat(3.98));
    EXPECT_TRUE(SimImageSealed(Sim.Image()));
    EXPECT_EQ(Sim.RequestFrames().size(), 16u); // the 16 slots, no read-back
}

// ---------------------------------------------------------------------------------------------
// limits and translate

TEST_F(CliTest, LimitsChangesOnlyTheNamedLimitsAndTheAddress) {
    const TCliRun run = Run({"limits", "--ch2", "90,-45", "--address", "7"}, "Vosek\n");
    ASSERT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(
        run.Out.find("Прежние границы: канал 1 16.00 (20 mA), 0.00 (4 mA); канал 2 85.00 (20 mA), -40.00"),
        std::string::npos)
        << run.Out;
    EXPECT_EQ(Sim.Address(), 7);
    ASSERT_FALSE(Sim.RegisterWrites().empty());
    EXPECT_EQ(Sim.RegisterWrites().front().Register, 375);
    EXPECT_EQ(Sim.RegisterWrites().front().Value, 7);
    EXPECT_EQ(Sim.Slot(5), EncodeSimFloat(190));
    EXPECT_EQ(Sim.Slot(6), EncodeSimFloat(55));
    EXPECT_EQ(Sim.Slot(1), EncodeSimFloat(16));
    EXPECT_EQ(Sim.Slot(3), EncodeSimFloat(16.0123));
    EXPECT_EQ(Sim.Slot(15)[1], 7);
}

TEST_F(CliTest, LimitsRefusesBadValuesBeforeAskingOrSending) {
    EXPECT_EQ(Run({"limits", "--ch1", "abc,1"}, "Vosek\n").Code, 5);
    EXPECT_EQ(Run({"limits", "--address", "256"}, "Vosek\n").Code, 5);
    EXPECT_EQ(Run({"limits", "--address", "-1"}, "Vosek\n").Code, 5);
    EXPECT_EQ(Run({"limits", "--address", "x"}, "Vosek\n").Code, 5);
    EXPECT_EQ(Line.BytesWritten(), 0u);
}

TEST_F(CliTest, TranslateReportsWhetherTheAdapterAnswered) {
    const TCliRun run = Run({"translate"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out, "Адаптер переведен в режим побайтовой трансляции\n");
    EXPECT_TRUE(Sim.TranslationMode());

    Sim.AddRule(TSimMatch::Any(), TSimAction::Silent());
    const TCliRun silent = Run({"translate"});
    EXPECT_EQ(silent.Code, 3);
    EXPECT_EQ(silent.Err, "rq7cli: Попробуйте повторить\n");
}

// ---------------------------------------------------------------------------------------------
// The real program

// Runs the program with its standard input from input (no single quotes in it).
TCliRun RunProcess(const std::string& arguments, const std::string& input = "") {
    char errPath[] = "/tmp/rq7cli-err-XXXXXX";
    const int fd = ::mkstemp(errPath);
    if (fd >= 0) {
        ::close(fd);
    }
    TCliRun run;
    const std::string command = "printf '" + input + "' | " + RQ7CLI_PATH + " " + arguments + " 2>" + errPath;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.Out.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    run.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.Err = ReadFileBytes(errPath);
    std::remove(errPath);
    return run;
}

TEST(CliProcess, HelpUsageAndAMissingPortAsExitCodes) {
    const TCliRun help = RunProcess("--help");
    EXPECT_EQ(help.Code, 0);
    EXPECT_EQ(help.Out, Rq7CliHelp());
    const TCliRun usage = RunProcess("frob");
    EXPECT_EQ(usage.Code, 1);
    EXPECT_NE(usage.Err.find("неизвестная команда: frob"), std::string::npos) << usage.Err;
    const TCliRun port = RunProcess("read --port /nonexistent/rq7-port");
    EXPECT_EQ(port.Code, 2);
    EXPECT_NE(port.Err.find("/nonexistent/rq7-port"), std::string::npos) << port.Err;
}

TEST(CliProcess, PasswordsComeFromAPipeOneALine) {
    TAdapterSimulator sim;
    TempDir dir;
    const std::string file = dir / "f.dat";
    WriteTextFileLines(file, {"1", "", "7", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"});
    const TCliRun wrong = RunProcess("write " + file + " --port " + sim.DevicePath(), "Vosek\\nwrong\\n");
    EXPECT_EQ(wrong.Code, 6);
    EXPECT_EQ(wrong.Err, "rq7cli: Пароль введен неверно!\n");
    EXPECT_TRUE(sim.RequestFrames().empty());
    // Right passwords get as far as the port (which is missing here): nothing in this test waits on a
    // reply in real time.
    const TCliRun right = RunProcess("write " + file + " --port " + (dir / "missing"), "Vosek\\nTrimel\\n");
    EXPECT_EQ(right.Code, 2) << right.Err;
    EXPECT_EQ(right.Err.find("Пароль"), std::string::npos) << right.Err;
}

} // namespace

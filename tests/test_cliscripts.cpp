// rq7cli as a script meets it: numbers that do not follow the locale, arguments refused before anything
// is asked or sent, the coefficient file on standard output, output that cannot be written, and a
// recording date that is no date.

#include <gtest/gtest.h>

#include <QJsonArray>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <streambuf>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "coef/TextFile.h"
#include "support/CliFixture.h"
#include "support/FakeSerialSystem.h"

namespace {

// Puts a locale in force for a test and the C locale back after it.
class TLocale {
public:
    explicit TLocale(const char* name) : set_(std::setlocale(LC_ALL, name) != nullptr) {}
    ~TLocale() { std::setlocale(LC_ALL, "C"); }
    TLocale(const TLocale&) = delete;
    TLocale& operator=(const TLocale&) = delete;
    bool Set() const { return set_; }

private:
    bool set_;
};

// An output that takes nothing, as a full disk does.
class TFullBuffer final : public std::streambuf {
protected:
    int_type overflow(int_type /*c*/) override { return traits_type::eof(); }
    std::streamsize xsputn(const char* /*s*/, std::streamsize /*n*/) override { return 0; }
};

class CliScripts : public CliTest {
protected:
    // The command with its standard output going nowhere.
    TCliRun RunIntoFullOutput(std::vector<std::string> args, const std::string& input = "") {
        std::istringstream in(input);
        TFullBuffer full;
        std::ostream out(&full);
        std::ostringstream err;
        TCliContext context = MakeContext(in, out, err);
        args.insert(args.begin(), "rq7cli");
        args.insert(args.end(), {"--port", Sim.DevicePath()});
        TCliRun run;
        run.Code = RunRq7Cli(args, context);
        run.Err = err.str();
        return run;
    }
};

TEST_F(CliScripts, NumbersAreTheSameUnderARussianLocale) {
    Sim.SetSlot(5, EncodeSimFloat(185.5));
    Sim.SetSlot(6, EncodeSimFloat(59.75));
    Sim.SealImage();
    const TLocale russian("ru_RU.UTF-8");
    ASSERT_TRUE(russian.Set()) << "the test set-up makes ru_RU.UTF-8 (scripts/install-deps.sh)";

    const TCliRun json = Run({"read", "--json", "--trace"});
    ASSERT_EQ(json.Code, 0) << json.Err;
    const QJsonArray values =
        QJsonDocument::fromJson(QByteArray::fromStdString(json.Out)).object()["values"].toArray();
    ASSERT_EQ(values.size(), 12);
    EXPECT_EQ(values[4].toDouble(), 85.5);
    EXPECT_EQ(values[5].toDouble(), -40.25);
    EXPECT_NE(json.Out.find("85.5"), std::string::npos) << json.Out;
    EXPECT_NE(json.Err.find("+   51.0 -> "), std::string::npos) << json.Err;
    EXPECT_EQ(json.Err.find(",0 -> "), std::string::npos) << json.Err;

    const TCliRun table = Run({"read"});
    EXPECT_NE(table.Out.find("85.50"), std::string::npos) << table.Out;
    // A value given with a point is taken whatever the locale.
    const TCliRun limits = Run({"limits", "--ch2", "90.5,-45.25"}, "Vosek\n");
    EXPECT_EQ(limits.Code, 0) << limits.Err;
    EXPECT_EQ(Sim.Slot(5), EncodeSimFloat(190.5));
    EXPECT_EQ(Sim.Slot(6), EncodeSimFloat(54.75));
}

TEST_F(CliScripts, ArgumentsAreRefusedBeforeAPasswordIsAskedOrTheAdapterIsReached) {
    struct TCase {
        std::vector<std::string> args;
        int code;
        const char* said;
    };
    const std::vector<TCase> cases = {
        {{"limits", "--ch1", "1e39,0"},
         5,
         "rq7cli: --ch1: \"1e39\" не помещается в число адаптера (Floating point overflow)"},
        {{"limits", "--ch1", "90,5,-45"}, 1, "десятичный разделитель — точка"},
        {{"limits", "--ch3", "abc,1"}, 5, "rq7cli: Проверьте данные (--ch3: \"abc\")"},
        {{"limits", "--address", "256"}, 5, "адрес от 0 до 255"},
        {{"read", "--output", ""}, 1, "rq7cli: параметр --output: пустое имя файла"},
        {{"read", "--output", "/nonexistent-rq7/x.dat"}, 5, "rq7cli: --output: нет папки /nonexistent-rq7"},
        {{"read", "--json", "--output", "-"}, 1, "rq7cli: --json и --output - вместе не подходят"},
        {{"read", "--version2"}, 1, "rq7cli: неизвестный параметр --version2"},
        {{"read", "--trace", "--address"}, 1, "rq7cli: нет значения после --address"},
        {{"write", "--json", "f.dat"}, 1, "rq7cli: параметр --json не подходит к команде write"},
    };
    for (const TCase& c : cases) {
        // Whatever is typed stays unread: an error about a password would mean it was asked.
        // The value-less option last: nothing after it, the port being given through RQ7_PORT's way.
        const bool valueMissing = c.args.back() == "--address";
        const TCliRun run = valueMissing ? RunArgs(c.args, "") : Run(c.args, "");
        EXPECT_EQ(run.Code, c.code) << c.args[1];
        EXPECT_NE(run.Err.find(c.said), std::string::npos) << run.Err;
        EXPECT_EQ(run.Err.find("пароль"), std::string::npos) << run.Err;
    }
    EXPECT_EQ(Line.BytesWritten(), 0u);
}

TEST_F(CliScripts, OutputDashIsTheCoefficientFilesBytesWithTheTableOnStandardError) {
    const TCliRun run = Run({"read", "--output", "-"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out, "1\r\n06/05/2024(07:08:10)\r\n0101001\r\n16.00\r\n0.00\r\n16.0123\r\n3.9876\r\n"
                       "85.00\r\n-40.00\r\n16.0045\r\n4.0021\r\n250.00\r\n0.00\r\n15.9987\r\n3.9992\r\n");
    EXPECT_NE(run.Err.find("Зав.№ 0101001"), std::string::npos) << run.Err;
}

TEST_F(CliScripts, OutputThatCannotBeWrittenIsAnErrorUnlessTheAdapterWasWritten) {
    const TCliRun json = RunIntoFullOutput({"read", "--json"});
    EXPECT_EQ(json.Code, 5);
    EXPECT_NE(json.Err.find("rq7cli: не удалось записать в стандартный вывод"), std::string::npos)
        << json.Err;
    EXPECT_EQ(RunIntoFullOutput({"--help"}).Code, 5);
    // The adapter holds the new block: the write's own code stands, the failure is said beside it.
    const TCliRun write = RunIntoFullOutput({"write", CoefFile(ValidLines())}, "Vosek\nTrimel\n");
    EXPECT_EQ(write.Code, 0) << write.Err;
    EXPECT_NE(write.Err.find("не удалось записать в стандартный вывод"), std::string::npos) << write.Err;
    EXPECT_EQ(Sim.Slot(1), EncodeSimFloat(500));
}

TEST(CliProcessOutput, AFullDiskIsAnErrorForTheRealProgram) {
    const std::string program = RQ7CLI_PATH;
    for (const std::string command : {" --help", " help read", " --version"}) {
        const int status = std::system((program + command + " >/dev/full 2>/dev/null").c_str());
        ASSERT_TRUE(WIFEXITED(status)) << command;
        EXPECT_EQ(WEXITSTATUS(status), 5) << command;
    }
}

TEST_F(CliScripts, TheRecordingDateInJsonIsADateOrNull) {
    struct TCase {
        TSimSlot slot;
        QJsonValue recorded;
    };
    const std::vector<TCase> cases = {
        {{0xA5, 0x70, 0xE3, 0x40}, QJsonValue(QStringLiteral("2012-07-03T14:05:10"))},
        {{0xFF, 0xFF, 0xFF, 0xFF}, QJsonValue(QJsonValue::Null)}, // erased
        {{0x00, 0x00, 0x00, 0x00}, QJsonValue(QJsonValue::Null)}, // month 0, day 0
        {{0x00, 0x00, 0x5E, 0x28}, QJsonValue(QJsonValue::Null)}, // 30 February 2000
        {{0x00, 0x00, 0x3D, 0x28}, QJsonValue(QStringLiteral("2000-01-29T00:00:00"))},
    };
    for (const TCase& c : cases) {
        Sim.SetSlot(14, c.slot);
        Sim.SealImage();
        const QJsonObject block = ReadJson();
        EXPECT_EQ(block["recorded"], c.recorded) << SlotHex(c.slot);
        std::string hex = SimHexText(c.slot.data(), 4);
        hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
        EXPECT_EQ(block["slots"].toArray()[13].toString().toStdString(), hex);
    }
}

TEST_F(CliScripts, ThePortComesFromRq7PortWhenNoneIsGiven) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    TCliContext context = MakeContext(in, out, err);
    context.DefaultPort = Sim.DevicePath();
    EXPECT_EQ(RunRq7Cli({"rq7cli", "read"}, context), 0) << err.str();
    EXPECT_NE(out.str().find("Зав.№ 0101001"), std::string::npos);
}

// Ports as a line with many cables needs them: each with its stable name and USB details, and --port
// taking the stable name or the cable's serial number before a password is asked.
TEST_F(CliScripts, PortsInJsonAndPortsByStableNameOrSerialNumber) {
    TFakeSystem fake;
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    TCliContext context = MakeContext(in, out, err);
    context.Roots = fake.Roots();
    ASSERT_EQ(RunRq7Cli({"rq7cli", "ports", "--json"}, context), 0) << err.str();
    const QJsonArray ports = QJsonDocument::fromJson(QByteArray::fromStdString(out.str())).array();
    ASSERT_EQ(ports.size(), 5);
    const QJsonObject ftdi = ports[3].toObject();
    EXPECT_EQ(ftdi.keys(), (QStringList{"device", "name", "product_id", "serial_number", "stable_name",
                                        "usb_location", "vendor_id"}));
    EXPECT_EQ(ftdi["name"].toString().toStdString(), fake.Dev + "/ttyUSB0");
    EXPECT_EQ(ftdi["stable_name"].toString().toStdString(), fake.ById + "/" + kFtdiById);
    EXPECT_EQ(ftdi["vendor_id"], QStringLiteral("0403"));
    EXPECT_EQ(ftdi["serial_number"], QStringLiteral("A12345"));
    EXPECT_EQ(ftdi["usb_location"], QStringLiteral("1-1.4"));
    EXPECT_TRUE(ports[2].toObject()["vendor_id"].isNull()) << "the UART";

    struct TCase {
        const char* command;
        std::string port;
        const char* said;
    };
    const std::vector<TCase> cases = {
        // Found: the port opened is the cable's (here a plain file, which no serial port opens).
        {"read", "usb:A12345", "/ttyUSB0"},
        {"read", fake.ById + "/" + kFtdiById, "/ttyUSB0"},
        // Not found: said before the password is asked.
        {"limits", "usb:NOPE",
         "rq7cli: --port usb:NOPE: нет подключённого адаптера USB с серийным номером \"NOPE\""},
    };
    for (const TCase& c : cases) {
        std::istringstream none;
        std::ostringstream quiet;
        std::ostringstream said;
        TCliContext run = MakeContext(none, quiet, said);
        run.Roots = fake.Roots();
        EXPECT_EQ(RunRq7Cli({"rq7cli", c.command, "--port", c.port}, run), 2) << c.port;
        EXPECT_NE(said.str().find(c.said), std::string::npos) << said.str();
        EXPECT_EQ(said.str().find("пароль"), std::string::npos) << said.str();
    }
}

} // namespace

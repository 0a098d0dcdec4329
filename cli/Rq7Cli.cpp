#include "cli/Rq7Cli.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string_view>
#include <utility>

#include "cli/LineTrace.h"
#include "coef/CoefBlock.h"
#include "coef/CoefFile.h"
#include "coef/DeviceMap.h"
#include "coef/Errors.h"
#include "coef/Passwords.h"
#include "coef/TextFile.h"
#include "coef/ValueText.h"
#include "link/CoefSequence.h"
#include "link/QuorbData.h"
#include "link/SerialBackend.h"
#include "link/StopEvent.h"
#include "link/Translation.h"

namespace {

using rq7map::kSlotCount;
using rq7map::kValueSlots;

constexpr const char* kCheckDataText = "Проверьте данные";
constexpr const char* kChecksumText = "Ошибка кс";

// ---------------------------------------------------------------------------------------------
// Texts

std::string HexBytes(const std::uint8_t* bytes, std::size_t n, const char* separator) {
    std::string text;
    char pair[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(bytes[i]));
        if (i > 0) {
            text += separator;
        }
        text += pair;
    }
    return text;
}

std::string SlotHex(const TCoefImageBytes& image, int k, const char* separator) {
    return HexBytes(image.data() + 4 * k, 4, separator);
}

TSlotBytes SlotOf(const TCoefImageBytes& image, int k) {
    const auto at = static_cast<std::size_t>(4 * k);
    return {image[at], image[at + 1], image[at + 2], image[at + 3]};
}

std::uint32_t SlotWord(const TCoefImageBytes& image, int k) {
    const TSlotBytes d = SlotOf(image, k);
    return static_cast<std::uint32_t>(d[0]) | (static_cast<std::uint32_t>(d[1]) << 8) |
           (static_cast<std::uint32_t>(d[2]) << 16) | (static_cast<std::uint32_t>(d[3]) << 24);
}

// A packed date and time as ISO 8601 local time.
std::string IsoDateTime(std::uint32_t p) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", (p >> 25) + 1980, (p >> 21) & 0x0F,
                  (p >> 16) & 0x1F, (p >> 11) & 0x1F, (p >> 5) & 0x3F, (p & 0x1F) * 2);
    return text;
}

// The number of a value slot as shown: the slot's single to the seven significant digits it holds,
// channel 2's limits 100 below it at the same number of decimals (so 185.1 is shown as 85.1, not as
// 85.100006 or 85.09999).
double ShownNumber(const TCoefImageBytes& image, int k) {
    const double raw = DecodeDeviceFloat(SlotOf(image, k));
    char text[64];
    std::snprintf(text, sizeof text, "%.7g", raw);
    const double rounded = std::strtod(text, nullptr);
    const std::string_view digits(text);
    if (!rq7map::IsOffsetSlot(k) || digits.find('e') != std::string_view::npos) {
        return rq7map::IsOffsetSlot(k) ? rounded - rq7map::kChannel2Offset : rounded;
    }
    const std::size_t point = digits.find('.');
    const int decimals = point == std::string_view::npos ? 0 : static_cast<int>(digits.size() - point - 1);
    char shifted[96];
    std::snprintf(shifted, sizeof shifted, "%.*f", decimals, rounded - rq7map::kChannel2Offset);
    return std::strtod(shifted, nullptr);
}

// Pads a UTF-8 text with spaces to width characters.
std::string Pad(const std::string& text, std::size_t width) {
    std::size_t characters = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++characters;
        }
    }
    return text + std::string(characters < width ? width - characters : 1, ' ');
}

// ---------------------------------------------------------------------------------------------
// The command line

struct TCommandLine {
    std::string Command;
    std::string File; // write
    std::string Port = "COM1";
    bool Trace = false;
    bool Json = false;
    std::string Output;
    bool NoVerify = false;
    std::optional<std::string> Address;
    std::array<std::optional<std::string>, 3> Channels; // "HIGH,LOW"
};

QCommandLineOption ValueOption(const char* name, const char* valueName) {
    return QCommandLineOption(QString::fromLatin1(name), QString(), QString::fromUtf8(valueName));
}

// The command line, or the message of a usage error (with Help empty), or Help set.
struct TParsed {
    std::optional<TCommandLine> Line;
    std::string Error;
    bool Help = false;
};

// The options rq7cli knows, in one parser.
struct TOptionSet {
    QCommandLineParser Parser;
    QCommandLineOption Help{QStringList{QStringLiteral("h"), QStringLiteral("help")}};
    QCommandLineOption Port = ValueOption("port", "ИМЯ");
    QCommandLineOption Trace{QStringLiteral("trace")};
    QCommandLineOption Json{QStringLiteral("json")};
    QCommandLineOption Output = ValueOption("output", "ФАЙЛ");
    QCommandLineOption NoVerify{QStringLiteral("no-verify")};
    QCommandLineOption Address = ValueOption("address", "N");
    std::array<QCommandLineOption, 3> Channels = {
        ValueOption("ch1", "ВЕРХ,НИЗ"), ValueOption("ch2", "ВЕРХ,НИЗ"), ValueOption("ch3", "ВЕРХ,НИЗ")};

    TOptionSet() {
        Parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        Parser.addOptions(
            {Help, Port, Trace, Json, Output, NoVerify, Address, Channels[0], Channels[1], Channels[2]});
    }
};

// The command and its file from the positional arguments; an error text when they do not fit.
std::string TakeCommand(const QStringList& positional, TCommandLine& line) {
    if (positional.isEmpty()) {
        return "не указана команда";
    }
    line.Command = positional[0].toStdString();
    const bool write = line.Command == "write";
    if (!write && line.Command != "read" && line.Command != "limits" && line.Command != "ports" &&
        line.Command != "translate") {
        return "неизвестная команда: " + line.Command;
    }
    if (write && positional.size() < 2) {
        return "команде write нужен файл";
    }
    if (positional.size() > (write ? 2 : 1)) {
        return "лишний аргумент: " + positional.last().toStdString();
    }
    if (write) {
        line.File = positional[1].toStdString();
    }
    return {};
}

// An error text when an option is given to a command it means nothing to.
std::string CheckOptionsFit(const TOptionSet& options, const std::string& command) {
    const bool read = command == "read";
    const bool changes = command == "write" || command == "limits";
    const bool limits = command == "limits";
    const std::array<std::pair<const QCommandLineOption*, bool>, 7> fits = {{
        {&options.Json, read},
        {&options.Output, read},
        {&options.NoVerify, changes},
        {&options.Address, limits},
        {&options.Channels[0], limits},
        {&options.Channels[1], limits},
        {&options.Channels[2], limits},
    }};
    for (const auto& [option, allowed] : fits) {
        if (!allowed && options.Parser.isSet(*option)) {
            return "параметр --" + option->names().constLast().toStdString() + " не подходит к команде " +
                   command;
        }
    }
    return {};
}

void TakeValues(const TOptionSet& options, TCommandLine& line) {
    const QCommandLineParser& parser = options.Parser;
    if (parser.isSet(options.Port)) {
        line.Port = parser.value(options.Port).toStdString();
    }
    line.Trace = parser.isSet(options.Trace);
    line.Json = parser.isSet(options.Json);
    line.Output = parser.value(options.Output).toStdString();
    line.NoVerify = parser.isSet(options.NoVerify);
    if (parser.isSet(options.Address)) {
        line.Address = parser.value(options.Address).toStdString();
    }
    for (std::size_t c = 0; c < options.Channels.size(); ++c) {
        if (parser.isSet(options.Channels[c])) {
            line.Channels[c] = parser.value(options.Channels[c]).toStdString();
        }
    }
}

TParsed Parse(const std::vector<std::string>& args) {
    TOptionSet options;
    QStringList arguments;
    for (const std::string& arg : args) {
        arguments << QString::fromStdString(arg);
    }
    if (arguments.isEmpty()) {
        arguments << QStringLiteral("rq7cli");
    }
    TParsed parsed;
    if (!options.Parser.parse(arguments)) {
        parsed.Error = options.Parser.errorText().toStdString();
        return parsed;
    }
    if (options.Parser.isSet(options.Help)) {
        parsed.Help = true;
        return parsed;
    }
    TCommandLine line;
    parsed.Error = TakeCommand(options.Parser.positionalArguments(), line);
    if (parsed.Error.empty()) {
        parsed.Error = CheckOptionsFit(options, line.Command);
    }
    if (parsed.Error.empty()) {
        TakeValues(options, line);
        parsed.Line = line;
    }
    return parsed;
}

// ---------------------------------------------------------------------------------------------
// One run against the adapter: the port, the exchange and what the user sees of a sequence.

class TCliSession final : public ICoefSequenceView {
public:
    TCliSession(TCliContext& context, const TCommandLine& line)
        : context_(context),
          trace_(line.Trace ? std::make_unique<TLineTrace>(context.Err, context.Clock) : nullptr),
          DataModule(DeviceOpener(), context.Roots), Exchange(DataModule, Block, context.Clock),
          Sequence(Exchange, Block, *this) {
        Block.LocalNow = context.LocalNow;
        DataModule.ComPort.SetPort(line.Port);
    }
    ~TCliSession() override {
        // The port closes (and its device gets back the settings it had) as the data module goes.
        context_.ConnectStop(nullptr);
    }
    TCliSession(const TCliSession&) = delete;
    TCliSession& operator=(const TCliSession&) = delete;

    // Opens the port as the main window does; false (with the windows' message) when it cannot.
    bool OpenPort() {
        TComPort& port = DataModule.ComPort;
        try {
            auto stopEvent = std::make_unique<TStopEvent>();
            context_.ConnectStop(stopEvent.get());
            DataModule.StopEvent = std::move(stopEvent);
            port.SetEvents(TComEvents{});
            port.FlowControl().SetControlDTR(dtrEnable);
            port.FlowControl().SetControlRTS(rtsEnable);
            port.OpenPort();
            return true;
        } catch (const std::exception& e) {
            context_.Err
                << "Неудача при открытии порта: Вероятно, выполняется другая программа, открывшая порт "
                << port.Port() << ". Закройте программу, захватившую порт, или укажите другой порт. ("
                << e.what() << ")\n";
            return false;
        }
    }

    bool Stopped() const { return DataModule.StopEvent != nullptr && DataModule.StopEvent->IsSignalled(); }

    void ShowProgressPanel(bool /*shown*/) override {}
    void SetProgress(int /*percent*/) override {}
    void ShowMessage(const std::string& text) override {
        if (trace_) {
            trace_->Flush();
        }
        context_.Err << text << '\n';
    }
    bool StopRequested() override { return Stopped(); }

private:
    TSerialDeviceOpener DeviceOpener() {
        TSerialDeviceOpener opener = context_.Opener;
        if (!opener) {
            opener = [](const std::string& name) { return OpenSerialDevice(name); };
        }
        return trace_ ? trace_->Opener(std::move(opener)) : opener;
    }

    TCliContext& context_;
    std::unique_ptr<TLineTrace> trace_;

public:
    TQuorbDataModule DataModule;
    TCoefBlock Block;
    TModbusExchange Exchange;
    TCoefSequence Sequence;
};

// The block as the technological window shows it after a read.
struct TShownBlock {
    std::array<std::string, kValueSlots> Texts;
    std::string FactoryNumber;
    int Address = 0;
    std::string RecordDate;
    int AnsweredAddress = 0; // byte 0 of the identify reply
};

// Reads slots 1..16 into the block and shown; kExitDone when all were read.
int ReadSlots(TCliSession& session, int slotWaitMs, TShownBlock& shown) {
    const TSlotLoopResult result = session.Sequence.ReadSlots(slotWaitMs, [&](int k) {
        TCoefBlock& block = session.Block;
        if (k <= kValueSlots) {
            shown.Texts.at(static_cast<std::size_t>(k - 1)) = ValueText(block.LastValue, SlotDecimals(k));
        } else if (k == rq7map::kFactoryNumberSlot) {
            shown.FactoryNumber = FactoryNumberText(block.FactoryNumber);
        } else if (k == rq7map::kRecordDateSlot) {
            shown.RecordDate = block.RecordDateText;
        } else if (k == rq7map::kAddressSlot) {
            shown.Address = block.ReadImage[4 * rq7map::kAddressSlot + 1];
        }
    });
    if (result.End == TSlotLoopEnd::Failed) {
        return kExitNoAnswer;
    }
    if (result.End == TSlotLoopEnd::Stopped) {
        session.ShowMessage("Чтение прервано (Ctrl+C) после слота " + std::to_string(result.SlotsDone));
        return kExitStopped;
    }
    return kExitDone;
}

// The identify request with its retry, then the 16 slots.
int IdentifyAndRead(TCliSession& session, TIdentifyRetry retry, int slotWaitMs, TShownBlock& shown) {
    if (!session.Sequence.Identify(retry)) {
        return kExitNoAnswer;
    }
    shown.AnsweredAddress = static_cast<unsigned char>(session.Exchange.ReplyText.at(0));
    if (session.Stopped()) {
        session.ShowMessage("Чтение прервано (Ctrl+C)");
        return kExitStopped;
    }
    return ReadSlots(session, slotWaitMs, shown);
}

void PrintBlock(std::ostream& out, const TShownBlock& shown) {
    static const std::array<const char*, 4> kRows = {"при токе 20 mA", "при токе 4 mA", "ток при коде 16 mA",
                                                     "ток при коде 4 mA"};
    out << Pad("", 20) << Pad("Канал 1", 12) << Pad("Канал 2", 12) << "Канал 3\n";
    for (std::size_t row = 0; row < kRows.size(); ++row) {
        out << Pad(kRows[row], 20) << Pad(shown.Texts[row], 12) << Pad(shown.Texts[4 + row], 12)
            << shown.Texts[8 + row] << '\n';
    }
    out << "Зав.№ " << shown.FactoryNumber << '\n';
    out << "Адрес обращения " << shown.Address << '\n';
    out << "Дата записи коэф. RQ7 " << shown.RecordDate << '\n';
}

void PrintLimits(std::ostream& out, const char* title, const std::array<std::string, kValueSlots>& values,
                 int address) {
    out << title << ":";
    for (std::size_t c = 0; c < 3; ++c) {
        out << (c == 0 ? " " : "; ") << "канал " << c + 1 << " " << values.at(4 * c) << " (20 mA), "
            << values.at(4 * c + 1) << " (4 mA)";
    }
    out << "; адрес " << address << '\n';
}

QJsonObject BlockJson(const TCoefBlock& block, const TShownBlock& shown, bool checksumOk) {
    QJsonArray values;
    QJsonArray texts;
    for (int k = 1; k <= kValueSlots; ++k) {
        values.append(ShownNumber(block.ReadImage, k));
        texts.append(QString::fromStdString(shown.Texts.at(static_cast<std::size_t>(k - 1))));
    }
    QJsonArray slotTexts;
    for (int k = 1; k <= kSlotCount; ++k) {
        slotTexts.append(QString::fromStdString(SlotHex(block.ReadImage, k, "")));
    }
    QJsonObject object;
    object[QStringLiteral("values")] = values;
    object[QStringLiteral("texts")] = texts;
    object[QStringLiteral("factory_number")] = QString::fromStdString(shown.FactoryNumber);
    object[QStringLiteral("address")] = shown.Address;
    object[QStringLiteral("recorded")] =
        QString::fromStdString(IsoDateTime(SlotWord(block.ReadImage, rq7map::kRecordDateSlot)));
    object[QStringLiteral("checksum_ok")] = checksumOk;
    object[QStringLiteral("slots")] = slotTexts;
    return object;
}

// Reads the 16 slots back and compares every byte with what was sent.
int VerifyWritten(TCliSession& session, TCliContext& context) {
    const TCoefImageBytes sent = session.Block.CoefImage;
    TShownBlock shown;
    const int read = ReadSlots(session, TTechnologicalTiming::kSlotReadWaitMs, shown);
    if (read != kExitDone) {
        return read;
    }
    int differing = 0;
    for (int k = 1; k <= kSlotCount; ++k) {
        if (SlotOf(sent, k) != SlotOf(session.Block.ReadImage, k)) {
            ++differing;
            context.Err << "Слот " << k << ": записано " << SlotHex(sent, k, " ") << ", прочитано "
                        << SlotHex(session.Block.ReadImage, k, " ") << '\n';
        }
    }
    if (differing > 0) {
        context.Err << "Проверка записи: слотов с другим содержимым " << differing << '\n';
        return kExitMismatch;
    }
    context.Out << "Проверка записи: все 16 слотов совпадают с записанным\n";
    return kExitDone;
}

// Writes the built image, then (unless noVerify) reads it back.
int WriteBuiltImage(TCliSession& session, TCliContext& context, int slotWaitMs, bool noVerify) {
    const TSlotLoopResult result = session.Sequence.WriteSlots(slotWaitMs);
    if (result.End == TSlotLoopEnd::Failed) {
        context.Err << "Слоты с новыми значениями: "
                    << (result.SlotsDone == 0 ? std::string("нет") : "1-" + std::to_string(result.SlotsDone))
                    << "; блок в адаптере неполон, повторите запись\n";
        return kExitNoAnswer;
    }
    if (result.End == TSlotLoopEnd::Stopped) {
        context.Err << "Запись прервана (Ctrl+C): слоты 1-" << result.SlotsDone
                    << " содержат новые значения, слоты " << result.SlotsDone + 1 << "-" << kSlotCount
                    << " прежние; блок в адаптере неполон, повторите запись\n";
        return kExitStopped;
    }
    context.Out << "Коэффициенты записаны (16 слотов)\n";
    return noVerify ? kExitDone : VerifyWritten(session, context);
}

// Asks for a password; false (with the dialog's message) when it is not the expected one.
bool CheckPassword(TCliContext& context, const char* prompt, const char* expected, const char* wrongText) {
    std::string typed;
    if (context.InputIsTerminal && context.ReadHiddenLine) {
        context.Err << prompt << std::flush;
        typed = context.ReadHiddenLine();
    } else {
        std::getline(context.In, typed);
    }
    if (!typed.empty() && typed.back() == '\r') {
        typed.pop_back();
    }
    if (typed != expected) {
        context.Err << wrongText << '\n';
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// The commands

int Ports(TCliContext& context) {
    std::vector<std::string> names;
    TCustomComPort::ListComPorts(names, context.Roots);
    for (const std::string& name : names) {
        context.Out << name << '\n';
    }
    return kExitDone;
}

int Read(TCliContext& context, const TCommandLine& line) {
    TCliSession session(context, line);
    if (!session.OpenPort()) {
        return kExitPort;
    }
    TShownBlock shown;
    const int read = IdentifyAndRead(session, TTechnologicalTiming::kIdentifyRetry,
                                     TTechnologicalTiming::kSlotReadWaitMs, shown);
    if (read != kExitDone) {
        return read;
    }
    const bool checksumOk = session.Block.VerifyReadImage();
    if (line.Json) {
        context.Out << QJsonDocument(BlockJson(session.Block, shown, checksumOk)).toJson().toStdString();
    } else {
        PrintBlock(context.Out, shown);
    }
    if (!line.Output.empty() && !checksumOk) {
        // A slot may have been filed from a reply that came late to the slot before it: such a block
        // is shown, under its warning, but goes into no file that a later write would take as sound.
        session.ShowMessage(std::string(kChecksumText) + ": файл " + line.Output + " не записан");
        return kExitChecksum;
    }
    if (!line.Output.empty()) {
        TCoefFileTexts file;
        file.Address = std::to_string(shown.Address);
        file.SavingTime = SavingTimeText(context.LocalNow());
        file.FactoryNumber = shown.FactoryNumber;
        file.Values = shown.Texts;
        try {
            WriteTextFileLines(line.Output, CoefFileLines(file));
        } catch (const EInOutError& e) {
            context.Err << line.Output << ": " << e.what() << '\n';
            return kExitBadData;
        }
    }
    if (!checksumOk) {
        session.ShowMessage(kChecksumText);
        return kExitChecksum;
    }
    return kExitDone;
}

// The line of the file that the build refused, for a "Проверьте данные" that names it.
int RefusedLine(const TCoefFileTexts& texts) {
    for (int k = 1; k <= kValueSlots; ++k) {
        const std::optional<double> value = ParseNumber(texts.Values.at(static_cast<std::size_t>(k - 1)));
        if (!value) {
            return CoefFileValueLine(k);
        }
        try {
            EncodeDeviceFloat(rq7map::IsOffsetSlot(k) ? *value + rq7map::kChannel2Offset : *value);
        } catch (const EOverflow&) {
            return CoefFileValueLine(k);
        }
    }
    if (!ParseInteger(texts.FactoryNumber)) {
        return kCoefFileFactoryLine;
    }
    return kCoefFileAddressLine;
}

std::string LineText(const TCoefFileTexts& texts, int line) {
    if (line == kCoefFileAddressLine) {
        return texts.Address;
    }
    if (line == kCoefFileFactoryLine) {
        return texts.FactoryNumber;
    }
    return texts.Values.at(static_cast<std::size_t>(line - CoefFileValueLine(1)));
}

int Write(TCliContext& context, const TCommandLine& line) {
    TCoefFileTexts texts;
    try {
        texts = ReadCoefFile(line.File);
    } catch (const EInOutError& e) {
        context.Err << line.File << ": " << e.what() << '\n';
        return kExitBadData;
    }
    TCliSession session(context, line);
    TTechTexts techTexts;
    techTexts.Values = texts.Values;
    techTexts.ZavodEdit = texts.FactoryNumber;
    techTexts.AdrEdit = texts.Address;
    std::string refusal;
    try {
        session.Block.BuildImageFromTech(techTexts);
        if (session.Block.ImageError != 0) {
            refusal = kCheckDataText;
        }
    } catch (const ERq7Error& e) {
        refusal = std::string(kCheckDataText) + ": " + e.what();
    }
    if (!refusal.empty()) {
        const int bad = RefusedLine(texts);
        context.Err << refusal << " (" << line.File << ", строка " << bad << ": \"" << LineText(texts, bad)
                    << "\")\n";
        return kExitBadData;
    }
    if (!CheckPassword(context, "Введите пароль для работы: ", kFirstPassword, "Пароль введен неверно") ||
        !CheckPassword(context, "Введите пароль для программирования: ", kSecondPassword,
                       "Пароль введен неверно!")) {
        return kExitPassword;
    }
    if (!session.OpenPort()) {
        return kExitPort;
    }
    return WriteBuiltImage(session, context, TTechnologicalTiming::kSlotWriteWaitMs, line.NoVerify);
}

// "HIGH,LOW" into its two texts.
std::optional<std::array<std::string, 2>> SplitLimits(const std::string& text) {
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos) {
        return std::nullopt;
    }
    return std::array<std::string, 2>{text.substr(0, comma), text.substr(comma + 1)};
}

using TNewLimits = std::array<std::optional<std::array<std::string, 2>>, 3>;

// Checks the limits and the address given, before the password is asked and anything is sent.
int CheckLimitOptions(TCliContext& context, const TCommandLine& line, TNewLimits& newLimits) {
    for (std::size_t c = 0; c < newLimits.size(); ++c) {
        if (!line.Channels[c]) {
            continue;
        }
        newLimits[c] = SplitLimits(*line.Channels[c]);
        if (!newLimits[c]) {
            context.Err << "rq7cli: --ch" << c + 1 << " ждёт два значения через запятую: ВЕРХ,НИЗ\n";
            return kExitUsage;
        }
        for (const std::string& text : *newLimits[c]) {
            if (!ParseNumber(text)) {
                context.Err << kCheckDataText << " (--ch" << c + 1 << ": \"" << text << "\")\n";
                return kExitBadData;
            }
        }
    }
    if (line.Address) {
        // A text that is no integer first, so the shared range check below meets only integers.
        if (!ParseInteger(*line.Address) || !DeviceAddressFromText(*line.Address)) {
            context.Err << kCheckDataText << " (--address: \"" << *line.Address << "\", адрес от 0 до 255)\n";
            return kExitBadData;
        }
    }
    return kExitDone;
}

// The value texts read, with the limits given in place of those read.
std::array<std::string, kValueSlots> ChangedValues(const TShownBlock& shown, const TNewLimits& newLimits) {
    std::array<std::string, kValueSlots> values = shown.Texts;
    for (std::size_t c = 0; c < newLimits.size(); ++c) {
        if (newLimits[c]) {
            values.at(4 * c) = (*newLimits[c])[0];
            values.at(4 * c + 1) = (*newLimits[c])[1];
        }
    }
    return values;
}

// What the limits window would hand to its build: its six limits, the factory number and the address.
TLimitsTexts LimitsTexts(const std::array<std::string, kValueSlots>& values, const TShownBlock& shown,
                         const TCommandLine& line) {
    TLimitsTexts texts;
    texts.Canal1_20 = values[0];
    texts.Canal1_4 = values[1];
    texts.Canal2_20 = values[4];
    texts.Canal2_4 = values[5];
    texts.Canal3_20 = values[8];
    texts.Canal3_4 = values[9];
    texts.ZavodNEdit = shown.FactoryNumber;
    texts.AdrEdit = line.Address ? *line.Address : std::to_string(shown.AnsweredAddress);
    return texts;
}

int Limits(TCliContext& context, const TCommandLine& line) {
    TNewLimits newLimits;
    if (const int checked = CheckLimitOptions(context, line, newLimits); checked != kExitDone) {
        return checked;
    }
    if (!CheckPassword(context, "Введите пароль для работы: ", kFirstPassword, "Пароль введен неверно")) {
        return kExitPassword;
    }
    TCliSession session(context, line);
    if (!session.OpenPort()) {
        return kExitPort;
    }
    TShownBlock shown;
    const int read =
        IdentifyAndRead(session, TLimitsTiming::kIdentifyRetry, TLimitsTiming::kRequestReadWaitMs, shown);
    if (read != kExitDone) {
        return read;
    }
    if (!session.Block.VerifyReadImage()) {
        // The values this command does not change would go back from a block that is not sound.
        PrintBlock(context.Out, shown);
        session.ShowMessage(std::string(kChecksumText) + ": блок не записан");
        return kExitChecksum;
    }
    PrintLimits(context.Out, "Прежние границы", shown.Texts, shown.AnsweredAddress);

    const std::array<std::string, kValueSlots> values = ChangedValues(shown, newLimits);
    const TLimitsTexts texts = LimitsTexts(values, shown, line);
    const std::int32_t address = StrToInt(texts.AdrEdit);
    session.Block.BuildImageFromLimits(texts);
    if (session.Block.ImageError != 0) {
        session.ShowMessage(kCheckDataText);
        return kExitBadData;
    }
    if (session.Stopped()) {
        session.ShowMessage("Изменение прервано (Ctrl+C): ничего не записано");
        return kExitStopped;
    }
    if (!session.Sequence.WriteWithRetry([&] {
            session.Exchange.WriteRegister(rq7map::kAddressRegister, static_cast<std::uint32_t>(address));
        })) {
        session.ShowMessage(kNoAnswerText);
        return kExitNoAnswer;
    }
    const int written = WriteBuiltImage(session, context, TLimitsTiming::kSlotWriteWaitMs, line.NoVerify);
    if (written == kExitDone) {
        PrintLimits(context.Out, "Новые границы", values, address);
    }
    return written;
}

int Translate(TCliContext& context, const TCommandLine& line) {
    TCliSession session(context, line);
    if (!session.OpenPort()) {
        return kExitPort;
    }
    if (!SwitchToByteTranslation(session.Exchange)) {
        session.ShowMessage("Попробуйте повторить");
        return session.Stopped() ? kExitStopped : kExitNoAnswer;
    }
    context.Out << "Адаптер переведен в режим побайтовой трансляции\n";
    return kExitDone;
}

int RunCommand(TCliContext& context, const TCommandLine& line) {
    if (line.Command == "ports") {
        return Ports(context);
    }
    if (line.Command == "read") {
        return Read(context, line);
    }
    if (line.Command == "write") {
        return Write(context, line);
    }
    if (line.Command == "limits") {
        return Limits(context, line);
    }
    return Translate(context, line);
}

} // namespace

std::string Rq7CliHelp() {
    return "Использование: rq7cli КОМАНДА [ПАРАМЕТРЫ]\n"
           "Адаптер RQ7 из командной строки.\n"
           "\n"
           "Команды:\n"
           "  ports                     порты компьютера, по одному имени в строке\n"
           "  read [--json] [--output ФАЙЛ]\n"
           "                            чтение коэффициентов и проверка контрольной суммы;\n"
           "                            --json: один объект JSON, --output: файл коэффициентов\n"
           "  write ФАЙЛ [--no-verify]  запись коэффициентов из файла с текущей датой и проверка\n"
           "                            чтением (нужны оба пароля)\n"
           "  limits [--address N] [--ch1 ВЕРХ,НИЗ] [--ch2 ВЕРХ,НИЗ] [--ch3 ВЕРХ,НИЗ] [--no-verify]\n"
           "                            изменение границ параметров каналов (при 20 и 4 мА) и\n"
           "                            адреса (нужен первый пароль)\n"
           "  translate                 перевод адаптера в режим побайтовой трансляции\n"
           "\n"
           "Параметры любой команды:\n"
           "  --port ИМЯ                порт адаптера, как в \"Настройка порта\" (по умолчанию COM1)\n"
           "  --trace                   каждый кадр и ответ в шестнадцатеричном виде с миллисекундами\n"
           "                            от начала, в стандартный поток ошибок\n"
           "  -h, --help                эта справка\n"
           "\n"
           "Пароли спрашиваются на терминале без эха; если стандартный ввод не терминал, они\n"
           "читаются из него по одному в строке, в порядке запроса. Неверный пароль: ничего не\n"
           "отправляется.\n"
           "\n"
           "Коды завершения:\n"
           "  0    выполнено\n"
           "  1    неверное использование\n"
           "  2    порт не открывается\n"
           "  3    адаптер не ответил или отказал после повторов (\"Нет ответа\", \"Сбой!\")\n"
           "  4    прочитанное после записи отличается от записанного\n"
           "  5    неверный файл или значение\n"
           "  6    неверный пароль\n"
           "  7    неверная контрольная сумма прочитанного блока (\"Ошибка кс\"; значения выведены,\n"
           "       файл --output не записан)\n"
           "  130  прервано Ctrl+C (при записи: после записываемого слота)\n";
}

int RunRq7Cli(const std::vector<std::string>& args, TCliContext& context) {
    const TParsed parsed = Parse(args);
    if (parsed.Help) {
        context.Out << Rq7CliHelp();
        return kExitDone;
    }
    if (!parsed.Line) {
        context.Err << "rq7cli: " << parsed.Error << "\nrq7cli --help: команды и параметры\n";
        return kExitUsage;
    }
    try {
        return RunCommand(context, *parsed.Line);
    } catch (const EComPort& e) {
        // The device went away or refused a call in the middle of a command.
        context.Err << e.what() << '\n';
        return kExitPort;
    } catch (const ERq7Error& e) {
        context.Err << e.what() << '\n';
        return kExitBadData;
    }
}

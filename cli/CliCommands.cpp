#include "cli/CliCommands.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "cli/CliExit.h"
#include "cli/CliOutput.h"
#include "cli/CliRecords.h"
#include "cli/CliSession.h"
#include "coef/CoefBlock.h"
#include "coef/CoefFile.h"
#include "coef/DeviceMap.h"
#include "coef/Errors.h"
#include "coef/Passwords.h"
#include "coef/TextFile.h"
#include "coef/ValueText.h"
#include "link/CoefSequence.h"
#include "link/PortDetails.h"
#include "link/Translation.h"
#include "record/ServiceRecord.h"

namespace {

using rq7map::kSlotCount;
using rq7map::kValueSlots;

constexpr const char* kCheckDataText = "Проверьте данные";

// File system paths from and to the UTF-8 names rq7cli takes on every system.
std::filesystem::path PathFromUtf8(const std::string& name) {
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
}
std::string Utf8FromPath(const std::filesystem::path& path) {
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
}

// Shows slot k, just read, in shown.
std::function<void(int)> ShowInto(TCliSession& session, TShownBlock& shown) {
    return [&session, &shown](int k) {
        const TCoefBlock& block = session.Block;
        if (k <= kValueSlots) {
            shown.Texts.at(static_cast<std::size_t>(k - 1)) = ValueText(block.LastValue, SlotDecimals(k));
        } else if (k == rq7map::kFactoryNumberSlot) {
            shown.FactoryNumber = FactoryNumberText(block.FactoryNumber);
        } else if (k == rq7map::kRecordDateSlot) {
            shown.RecordDate = block.RecordDateText;
        } else if (k == rq7map::kAddressSlot) {
            shown.Address = block.ReadImage[4 * rq7map::kAddressSlot + 1];
        }
    };
}

// Reads slots 1..16 into the block and shown; kExitDone when all were read.
int ReadSlots(TCliSession& session, int slotWaitMs, TShownBlock& shown) {
    const TSlotLoopResult result = session.Sequence.ReadSlots(slotWaitMs, ShowInto(session, shown));
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

// Opens the port and reads the block as the technological window does; kExitDone when all was read.
int OpenAndRead(TCliSession& session, TShownBlock& shown) {
    if (!session.OpenPort()) {
        return kExitPort;
    }
    return IdentifyAndRead(session, TTechnologicalTiming::kIdentifyRetry,
                           TTechnologicalTiming::kSlotReadWaitMs, shown);
}

// Reads the 16 slots back and compares every byte with what was sent.
int VerifyWritten(TCliSession& session, TCliContext& context) {
    const TCoefImageBytes sent = session.Block.CoefImage;
    TShownBlock shown;
    const TReadBackResult readBack =
        session.Sequence.ReadBack(TTechnologicalTiming::kSlotReadWaitMs, ShowInto(session, shown));
    if (!readBack.Complete) {
        session.Say(
            "Проверка записи не выполнена: блок записан полностью, но не прочитан; проверьте: rq7cli read");
        return kExitUnverified;
    }
    for (const int k : readBack.Differing) {
        session.Say("Слот " + std::to_string(k) + ": записано " + SlotHex(sent, k, " ") + ", прочитано " +
                    SlotHex(session.Block.ReadImage, k, " "));
    }
    if (!readBack.Differing.empty()) {
        session.Say("Проверка записи: слотов с другим содержимым " +
                    std::to_string(readBack.Differing.size()));
        return kExitMismatch;
    }
    context.Out << "Проверка записи: все 16 слотов совпадают с записанным\n";
    return kExitDone;
}

// Where each slot stands after a write that did not complete, as one line.
std::string WriteReportText(const TWriteReport& report) {
    const auto listed = [](const std::string& numbers) {
        return numbers.empty() ? std::string("нет") : numbers;
    };
    std::string text = "Слоты с новыми значениями: " + listed(report.SlotsIn(TSlotState::New));
    if (const std::string unknown = report.SlotsIn(TSlotState::Unknown); !unknown.empty()) {
        text += "; не известно (подтверждение не получено): " + unknown;
    }
    if (const std::string old = report.SlotsIn(TSlotState::Old); !old.empty()) {
        text += "; с прежними значениями: " + old;
    }
    if (report.AddressUnknown) {
        text += "; адрес обращения: не известно (подтверждение не получено)";
    }
    return text + "; блок в адаптере неполон, выполните ту же команду ещё раз";
}

// The end of a write that went out but did not complete: the slot whose confirmation was lost is read
// once more when the adapter still answers, then the report.
int IncompleteWrite(TCliSession& session, bool deviceLost) {
    if (!deviceLost && session.DataModule.ComPort.Connected() && !session.Abandoned()) {
        try {
            session.Sequence.SettleUnknownSlots();
        } catch (const EComPort& e) {
            session.Say(e.what());
        }
    }
    const TWriteReport& report = session.Sequence.LastWrite();
    session.Say(WriteReportText(report));
    return report.AllNew() && !report.AddressUnknown ? kExitUnverified : kExitIncomplete;
}

// Runs a write (the block alone, or the limits write) and says how it ended: the read-back after a
// complete write unless noVerify or a stop, the report of an incomplete one.
int CarryOutWrite(TCliSession& session, TCliContext& context, bool noVerify,
                  const std::function<TWriteEnd()>& write) {
    TWriteEnd end = TWriteEnd::Failed;
    try {
        end = write();
        context.AdapterWritten = session.Sequence.LastWrite().Begun;
    } catch (const std::exception& e) {
        // A device lost before the first write request is a port failure like any other; after it, the
        // write's report and code stand.
        if (!session.Sequence.LastWrite().Begun) {
            throw;
        }
        context.AdapterWritten = true;
        session.Say(e.what());
        return IncompleteWrite(session, true);
    }
    switch (end) {
    case TWriteEnd::Stopped:
        session.ShowMessage("Запись прервана (Ctrl+C): ничего не записано");
        return kExitStopped;
    case TWriteEnd::Refused:
        return kExitChecksum;
    case TWriteEnd::Failed:
        return IncompleteWrite(session, false);
    case TWriteEnd::Abandoned:
        session.Say("Запись прервана (второй Ctrl+C)");
        return IncompleteWrite(session, false);
    case TWriteEnd::Complete:
        break;
    }
    context.Out << "Коэффициенты записаны (16 слотов)\n" << std::flush;
    if (session.Stopped()) {
        session.Say("Остановлено во время записи: блок дописан до конца, проверка чтением пропущена");
        return kExitUnverified;
    }
    if (noVerify) {
        return kExitDone;
    }
    try {
        return VerifyWritten(session, context);
    } catch (const EComPort& e) {
        session.Say(e.what());
        session.Say(
            "Проверка записи не выполнена: блок записан полностью, но не прочитан; проверьте: rq7cli read");
        return kExitUnverified;
    }
}

// Asks for a password; false (with the dialog's message) when it is not the expected one.
bool CheckPassword(TCliContext& context, const char* prompt, const char* expected, const char* wrongText) {
    std::string typed;
    bool came = true;
    if (context.InputIsTerminal && context.ReadHiddenLine) {
        if (context.WritePrompt) {
            context.WritePrompt(prompt);
        } else {
            context.Err << prompt << std::flush;
        }
        typed = context.ReadHiddenLine();
        came = !typed.empty();
    } else {
        came = static_cast<bool>(std::getline(context.In, typed));
    }
    if (!typed.empty() && typed.back() == '\r') {
        typed.pop_back();
    }
    if (!came || typed.empty()) {
        // Closed input, Ctrl+D or an empty line: no password was typed at all.
        SayError(context.Err, context.Out,
                 std::string("пароль не введён (") + (came ? "пустая строка" : "ввод закончился") + ")");
        return false;
    }
    if (typed != expected) {
        SayError(context.Err, context.Out, wrongText);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// The commands

// What stands in the way of writing a file at path, before anything is asked or sent; empty when nothing.
std::string OutputPathProblem(const std::string& path) {
    namespace fs = std::filesystem;
    const fs::path file = PathFromUtf8(path);
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    std::error_code error;
    if (!fs::exists(folder, error)) {
        return "нет папки " + Utf8FromPath(folder);
    }
    if (!fs::is_directory(folder, error)) {
        return Utf8FromPath(folder) + " не папка";
    }
    if (fs::is_directory(file, error)) {
        return path + " — папка";
    }
    return {};
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

// The coefficient file's texts, checked as a file: an error line naming what is wrong, or nothing.
std::optional<std::string> ReadCheckedCoefFile(const std::string& path, TCoefFileTexts& texts) {
    // A coefficient file is a few hundred bytes; a larger file is no coefficient file.
    constexpr std::uintmax_t kMostBytes = 1 << 20;
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(PathFromUtf8(path), error);
    if (!error && size > kMostBytes) {
        return path + ": файл больше 1 МБ, это не файл коэффициентов";
    }
    std::vector<std::string> lines;
    try {
        lines = ReadTextFileLines(path);
    } catch (const EInOutError& e) {
        return path + ": " + e.what();
    }
    if (lines.size() < kCoefFileLines) {
        return path + ": файл короче " + std::to_string(kCoefFileLines) + " строк (в нём " +
               std::to_string(lines.size()) + ")";
    }
    for (std::size_t i = kCoefFileLines; i < lines.size(); ++i) {
        if (lines[i].find_first_not_of(" \t") != std::string::npos) {
            return path + ": строка " + std::to_string(i + 1) + " не пуста, а в файле коэффициентов " +
                   std::to_string(kCoefFileLines) + " строк";
        }
    }
    texts = CoefFileTextsOf(std::move(lines));
    return std::nullopt;
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
    const auto refuse = [&context](const std::string& text) { SayError(context.Err, context.Out, text); };
    for (std::size_t c = 0; c < newLimits.size(); ++c) {
        if (!line.Channels[c]) {
            continue;
        }
        const std::string option = "--ch" + std::to_string(c + 1);
        newLimits[c] = SplitLimits(*line.Channels[c]);
        if (!newLimits[c]) {
            const bool commas = std::count(line.Channels[c]->begin(), line.Channels[c]->end(), ',') > 1;
            refuse(
                option + " ждёт два значения через запятую: ВЕРХ,НИЗ" +
                (commas ? std::string("; десятичный разделитель — точка (90.5, не 90,5)") : std::string()));
            return kExitUsage;
        }
        for (std::size_t i = 0; i < 2; ++i) {
            const std::string& text = (*newLimits[c])[i];
            const std::optional<double> value = ParseNumber(text);
            if (!value) {
                refuse(std::string(kCheckDataText) + " (" + option + ": \"" + Printable(text) + "\")");
                return kExitBadData;
            }
            // Channel 2's limits are kept 100 above the value: the slot must hold that too.
            const int slot = static_cast<int>(4 * c + i + 1);
            try {
                EncodeDeviceFloat(rq7map::IsOffsetSlot(slot) ? *value + rq7map::kChannel2Offset : *value);
            } catch (const EOverflow& e) {
                refuse(option + ": \"" + text + "\" не помещается в число адаптера (" + e.what() + ")");
                return kExitBadData;
            }
        }
    }
    if (line.Address) {
        // A text that is no integer first, so the shared range check below meets only integers.
        if (!ParseInteger(*line.Address) || !DeviceAddressFromText(*line.Address)) {
            refuse(std::string(kCheckDataText) + " (--address: \"" + Printable(*line.Address) +
                   "\", адрес от 0 до 255)");
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

// The slots the limits write takes as the adapter holds them: every slot but the limits given, the
// address slot while the address stays the same.
TKeptSlots KeptForLimits(const TCoefBlock& block, const TNewLimits& newLimits, std::uint8_t address) {
    std::array<bool, kSlotCount + 1> changed{};
    for (std::size_t c = 0; c < newLimits.size(); ++c) {
        changed.at(4 * c + 1) = changed.at(4 * c + 2) = newLimits[c].has_value();
    }
    return KeptSlotsFor(block.KnownSlots, changed, address);
}

// True when slots 1..13 and 15 of two images are the same (the date and the end slot aside).
bool SameValues(const TCoefImageBytes& a, const TCoefImageBytes& b) {
    for (int k = 1; k <= kSlotCount; ++k) {
        if (k != rq7map::kRecordDateSlot && k != rq7map::kEndSlot && SlotOfImage(a, k) != SlotOfImage(b, k)) {
            return false;
        }
    }
    return true;
}

// Saves a block read to --output (a file, or standard output); its exit code.
int SaveReadBlock(TCliSession& session, TCliContext& context, const TCommandLine& line,
                  const TShownBlock& shown, bool checksumOk);

// Refuses a command that would write to the adapter while its record cannot be kept.
std::optional<int> RefuseWithoutRecord(TCliContext& context, TCliRecorder& recorder) {
    if (!recorder.Enabled()) {
        return std::nullopt;
    }
    if (const std::optional<std::string> problem = recorder.Open()) {
        SayError(context.Err, context.Out,
                 *problem + "; в адаптер ничего не отправлено (запись без журнала: --no-history)");
        return kExitHistory;
    }
    return std::nullopt;
}

// Appends a record that writes nothing to the adapter; a store that fails is said, the command goes on.
void RecordOrSay(TCliSession& session, TCliRecorder& recorder, const TServiceRecord& record) {
    if (!recorder.Enabled()) {
        return;
    }
    if (const std::optional<std::string> problem = recorder.Append(record)) {
        session.Say("журнал: запись не занесена: " + *problem);
    }
}

// The block just read, as found.
TAsFound AsFoundNow(const TCliSession& session) {
    return AsFoundOf(session.Block.ReadImage, session.Block.VerifyReadImage(), RecordTimeNow());
}

// A write with its two records: the first before the write's first request, with what was found and the
// block to send (so that a killed process still leaves both), the second with how it ended. A first
// record that cannot be kept stops the write before anything is sent.
int RecordedWrite(TCliSession& session, TCliContext& context, TCliRecorder& recorder, TServiceRecord record,
                  bool noVerify, const std::function<TWriteEnd()>& write) {
    const TCoefImageBytes sent = session.Block.CoefImage;
    const auto finish = [&](int code, const std::string& message, std::optional<bool> verified) {
        if (!recorder.Enabled()) {
            return;
        }
        record.Time = RecordTimeNow();
        NoteWriteLeft(record, sent, session.Sequence.LastWrite(), verified, TRecordOutcome{code, message});
        if (const std::optional<std::string> problem = recorder.Append(record)) {
            session.Say("журнал: итог записи не занесён: " + *problem);
        }
    };
    if (recorder.Enabled()) {
        NoteWriteLeft(record, sent, TWriteReport{}, std::nullopt,
                      TRecordOutcome{std::nullopt, kOutcomeBegun});
        if (const std::optional<std::string> problem = recorder.Append(record)) {
            session.Say(*problem + "; в адаптер ничего не отправлено (запись без журнала: --no-history)");
            return kExitHistory;
        }
    }
    int code = kExitDone;
    try {
        code = CarryOutWrite(session, context, noVerify, write);
    } catch (const std::exception& e) {
        finish(kExitPort, e.what(), std::nullopt);
        throw;
    }
    std::optional<bool> verified;
    if (code == kExitDone && !noVerify) {
        verified = true;
    } else if (code == kExitMismatch) {
        verified = false;
    }
    std::string message = session.LastMessage;
    if (code == kExitDone) {
        message = std::string("Коэффициенты записаны (16 слотов)") +
                  (verified ? "; проверка чтением: все 16 слотов совпадают с записанным" : "");
    }
    finish(code, message, verified);
    return code;
}

// The block of a record: as left when asked for (or, with preferLeft, when the record has one), else as
// found; nothing (with the reason) when the record holds no such block.
std::optional<TCoefImageBytes> RecordedImage(const TServiceRecord& record, bool asLeft, std::string& why) {
    if (asLeft) {
        if (!record.AsLeft) {
            why = "в записи " + std::to_string(record.Id) + " нет блока \"как оставлен\"";
            return std::nullopt;
        }
        return ImageOfRecordedSlots(record.AsLeft->Sent);
    }
    if (!record.AsFound) {
        why = "в записи " + std::to_string(record.Id) + " нет блока \"как найден\"";
        return std::nullopt;
    }
    return ImageOfRecordedSlots(record.AsFound->Slots);
}

bool ImageChecksumOk(const TCoefImageBytes& image) {
    TCoefBlock block;
    block.ReadImage = image;
    return block.VerifyReadImage();
}

// A factory number that marks no adapter: an erased slot (all ones) or none set (0).
bool Unnumbered(std::int64_t number) {
    return number == 0 || static_cast<std::uint32_t>(number) == 0xFFFFFFFFU;
}

// Slot k of an image as the windows show it.
std::string ShownSlot(const TCoefImageBytes& image, int k) {
    if (k <= kValueSlots) {
        return ValueText(ShownNumber(image, k), SlotDecimals(k));
    }
    if (k == rq7map::kFactoryNumberSlot) {
        return FactoryNumberText(static_cast<std::int32_t>(SlotWordOfImage(image, k)));
    }
    if (k == rq7map::kRecordDateSlot) {
        return IsoDateTime(SlotWordOfImage(image, k)).value_or("-");
    }
    if (k == rq7map::kAddressSlot) {
        return std::to_string(image[4 * rq7map::kAddressSlot + 1]);
    }
    return "";
}

} // namespace

int CommandPorts(TCliContext& context, const TCommandLine& line) {
    // A system without any list of serial ports (a PC without serial ports) has none to list.
    if (!line.Json) {
        std::vector<std::string> names;
        try {
            TCustomComPort::ListComPorts(names, context.Roots);
        } catch (const ENoPortList&) {
        }
        for (const std::string& name : names) {
            context.Out << name << '\n';
        }
        return kExitDone;
    }
    const auto text = [](const std::string& value) {
        return value.empty() ? QJsonValue(QJsonValue::Null) : QJsonValue(QString::fromStdString(value));
    };
    std::vector<TPortDetails> details;
    try {
        details = ListPortDetails(context.Roots);
    } catch (const ENoPortList&) {
    }
    QJsonArray ports;
    for (const TPortDetails& port : details) {
        QJsonObject object;
        object[QStringLiteral("name")] = QString::fromStdString(port.Name);
        object[QStringLiteral("device")] = QString::fromStdString(port.Device);
        object[QStringLiteral("stable_name")] = text(port.StableName);
        object[QStringLiteral("vendor_id")] = text(port.VendorId);
        object[QStringLiteral("product_id")] = text(port.ProductId);
        object[QStringLiteral("serial_number")] = text(port.SerialNumber);
        object[QStringLiteral("usb_location")] = text(port.UsbLocation);
        ports.append(object);
    }
    context.Out << QJsonDocument(ports).toJson().toStdString();
    return kExitDone;
}

int CommandRead(TCliContext& context, const TCommandLine& line) {
    const bool toStandardOutput = line.Output == "-";
    if (!line.Output.empty() && !toStandardOutput) {
        if (const std::string problem = OutputPathProblem(line.Output); !problem.empty()) {
            SayError(context.Err, context.Out, "--output: " + Printable(problem));
            return kExitBadData;
        }
    }
    // With the file on standard output, the table goes to standard error.
    std::ostream& table = toStandardOutput ? context.Err : context.Out;
    TCliSession session(context, line);
    TShownBlock shown;
    const int read = OpenAndRead(session, shown);
    if (read != kExitDone) {
        return read;
    }
    // A wrong checksum is said at once ("Ошибка кс"); the values are shown all the same.
    const bool checksumOk = session.Sequence.CheckRead() == TReadCheck::Sound;
    if (line.Json) {
        context.Out << QJsonDocument(BlockJson(session.Block, shown, checksumOk)).toJson().toStdString();
    } else {
        PrintBlock(table, shown);
    }
    TCliRecorder recorder(context, line);
    TServiceRecord record = recorder.New(TRecordOperation::Read);
    record.AsFound = AsFoundNow(session);
    record.FactoryNumber = FactoryNumberOfImage(session.Block.ReadImage);
    const int code = SaveReadBlock(session, context, line, shown, checksumOk);
    record.Outcome = TRecordOutcome{code, code == kExitDone ? std::string("Прочитано") : session.LastMessage};
    RecordOrSay(session, recorder, record);
    return code;
}

namespace {
int SaveReadBlock(TCliSession& session, TCliContext& context, const TCommandLine& line,
                  const TShownBlock& shown, bool checksumOk) {
    const bool toStandardOutput = line.Output == "-";
    if (!line.Output.empty() && !checksumOk) {
        // A slot may have been filed from a reply that came late to the slot before it: such a block
        // is shown, under its warning, but goes into no file that a later write would take as sound.
        session.Say("Файл " + line.Output + " не записан: контрольная сумма блока неверна");
        return kExitChecksum;
    }
    if (!line.Output.empty()) {
        TCoefFileTexts file;
        file.Address = std::to_string(shown.Address);
        file.SavingTime = SavingTimeText(context.LocalNow());
        file.FactoryNumber = shown.FactoryNumber;
        file.Values = shown.Texts;
        if (toStandardOutput) {
            const std::string bytes = CoefFileBytes(CoefFileLines(file));
            if (!context.WriteOutputBytes) {
                context.Out << bytes;
            } else if (!context.WriteOutputBytes(bytes)) {
                context.Out.setstate(std::ios::failbit); // a failed output, as the stream's own
            }
        } else {
            try {
                WriteTextFileLines(line.Output, CoefFileLines(file));
            } catch (const EInOutError& e) {
                session.Say(line.Output + ": " + e.what());
                return kExitBadData;
            }
        }
    }
    return checksumOk ? kExitDone : kExitChecksum;
}
} // namespace

int CommandWrite(TCliContext& context, const TCommandLine& line) {
    TCoefFileTexts texts;
    if (const std::optional<std::string> problem = ReadCheckedCoefFile(line.File, texts)) {
        SayError(context.Err, context.Out, Printable(*problem));
        return kExitBadData;
    }
    const std::optional<TRecordedFile> file = RecordedFileOf(line.File);
    TCliSession session(context, line);
    TTechTexts techTexts;
    techTexts.Values = texts.Values;
    techTexts.ZavodEdit = texts.FactoryNumber;
    techTexts.AdrEdit = texts.Address;
    // A trial build before the passwords: a file the block cannot be made from is refused at once.
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
        SayError(context.Err, context.Out,
                 refusal + " (" + line.File + ", строка " + std::to_string(bad) + ": \"" +
                     Printable(LineText(texts, bad)) + "\")");
        return kExitBadData;
    }
    TCliRecorder recorder(context, line);
    if (const std::optional<int> refused = RefuseWithoutRecord(context, recorder)) {
        return *refused;
    }
    if (!CheckPassword(context, "Введите пароль для работы: ", kFirstPassword, "Пароль введен неверно") ||
        !CheckPassword(context, "Введите пароль для программирования: ", kSecondPassword,
                       "Пароль введен неверно!")) {
        return kExitPassword;
    }
    if (!session.OpenPort()) {
        return kExitPort;
    }
    TServiceRecord record = recorder.New(TRecordOperation::Write);
    record.File = file;
    if (recorder.Enabled()) {
        // What the adapter held before, for the record.
        TShownBlock found;
        const int read = IdentifyAndRead(session, TTechnologicalTiming::kIdentifyRetry,
                                         TTechnologicalTiming::kSlotReadWaitMs, found);
        if (read != kExitDone) {
            return read;
        }
        record.AsFound = AsFoundNow(session);
    }
    // The block sent carries the date it is written at, not the date the passwords were asked.
    session.Block.BuildImageFromTech(techTexts);
    return RecordedWrite(session, context, recorder, record, line.NoVerify,
                         [&] { return session.Sequence.WriteBlock(TTechnologicalTiming::kSlotWriteWaitMs); });
}

int CommandLimits(TCliContext& context, const TCommandLine& line) {
    TNewLimits newLimits;
    if (const int checked = CheckLimitOptions(context, line, newLimits); checked != kExitDone) {
        return checked;
    }
    TCliRecorder recorder(context, line);
    if (const std::optional<int> refused = RefuseWithoutRecord(context, recorder)) {
        return *refused;
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
    const TReadCheck check = session.Sequence.CheckRead();
    TServiceRecord record = recorder.New(TRecordOperation::Limits);
    record.AsFound = AsFoundNow(session);
    record.FactoryNumber = FactoryNumberOfImage(session.Block.ReadImage);
    // The end of a limits command that writes nothing: the record of what it found.
    const auto nothingWritten = [&](int code, const std::string& message) {
        record.Outcome = TRecordOutcome{code, message};
        RecordOrSay(session, recorder, record);
        return code;
    };
    if (check == TReadCheck::Bad) {
        // The values this command does not change would go back from a block that is not sound.
        PrintBlock(context.Out, shown);
        session.Say(
            "Блок не записан: его контрольная сумма неверна, а прерванной записи, которая оставила бы "
            "такой блок, в журнале нет; запишите блок из файла (rq7cli write)");
        return nothingWritten(kExitChecksum, session.LastMessage);
    }
    if (check == TReadCheck::Completable) {
        session.Say("Блок неполон после прерванной записи; эта запись его завершит");
    }
    PrintLimits(context.Out, "Прежние границы", shown.Texts, shown.AnsweredAddress);

    const std::array<std::string, kValueSlots> values = ChangedValues(shown, newLimits);
    const TLimitsTexts texts = LimitsTexts(values, shown, line);
    const std::optional<std::uint8_t> address = DeviceAddressFromText(texts.AdrEdit);
    if (!address) {
        session.ShowMessage(kCheckDataText);
        return kExitBadData;
    }
    session.Block.BuildImageFromLimits(texts, KeptForLimits(session.Block, newLimits, *address));
    if (session.Block.ImageError != 0) {
        session.ShowMessage(kCheckDataText);
        return kExitBadData;
    }
    if (check == TReadCheck::Sound && *address == shown.AnsweredAddress &&
        SameValues(session.Block.CoefImage, session.Block.ReadImage)) {
        context.Out << "Изменений нет: адаптер уже хранит эти значения; ничего не записано\n";
        return nothingWritten(kExitDone, "Изменений нет");
    }
    if (session.Stopped()) {
        session.ShowMessage("Изменение прервано (Ctrl+C): ничего не записано");
        return kExitStopped;
    }
    const int written = RecordedWrite(session, context, recorder, record, line.NoVerify, [&] {
        return session.Sequence.WriteLimits(*address, TLimitsTiming::kSlotWriteWaitMs);
    });
    if (written == kExitDone) {
        PrintLimits(context.Out, "Новые границы", values, *address);
    }
    return written;
}

int CommandTranslate(TCliContext& context, const TCommandLine& line) {
    TCliRecorder recorder(context, line);
    if (const std::optional<int> refused = RefuseWithoutRecord(context, recorder)) {
        return *refused;
    }
    TCliSession session(context, line);
    if (!session.OpenPort()) {
        return kExitPort;
    }
    TServiceRecord record = recorder.New(TRecordOperation::Translate);
    if (!SwitchToByteTranslation(session.Exchange)) {
        session.ShowMessage("Попробуйте повторить");
        const int code = session.Stopped() ? kExitStopped : kExitNoAnswer;
        record.Outcome = TRecordOutcome{code, "Попробуйте повторить"};
        RecordOrSay(session, recorder, record);
        return code;
    }
    context.Out << "Адаптер переведен в режим побайтовой трансляции\n";
    record.Outcome = TRecordOutcome{kExitDone, "Адаптер переведен в режим побайтовой трансляции"};
    RecordOrSay(session, recorder, record);
    return kExitDone;
}

int CommandRestore(TCliContext& context, const TCommandLine& line) {
    const auto refuse = [&context](const std::string& text, int code) {
        SayError(context.Err, context.Out, text);
        return code;
    };
    const std::optional<std::int64_t> id = ParseRecordId(line.RecordId);
    if (!id) {
        return refuse("\"" + Printable(line.RecordId) + "\" не номер записи", kExitUsage);
    }
    TCliRecorder recorder(context, line);
    if (const std::optional<int> refused = RefuseWithoutRecord(context, recorder)) {
        return *refused;
    }
    const std::optional<TServiceRecord> source = recorder.Store()->Find(*id);
    if (!source) {
        return refuse("в журнале нет записи " + std::to_string(*id), kExitBadData);
    }
    std::string why;
    const std::optional<TCoefImageBytes> image = RecordedImage(*source, line.AsLeft, why);
    if (!image) {
        return refuse(why, kExitBadData);
    }
    if (!ImageChecksumOk(*image) || (!line.AsLeft && !source->AsFound->ChecksumOk)) {
        return refuse("блок записи " + std::to_string(*id) +
                          " с неверной контрольной суммой не записывается; выберите другой блок или запись",
                      kExitChecksum);
    }
    if (!CheckPassword(context, "Введите пароль для работы: ", kFirstPassword, "Пароль введен неверно") ||
        !CheckPassword(context, "Введите пароль для программирования: ", kSecondPassword,
                       "Пароль введен неверно!")) {
        return kExitPassword;
    }
    TCliSession session(context, line);
    TShownBlock found;
    const int read = OpenAndRead(session, found);
    if (read != kExitDone) {
        return read;
    }
    // The adapter must be the record's, as found or as left (a write may have changed its number).
    const std::int64_t number = FactoryNumberOfImage(session.Block.ReadImage);
    std::vector<std::int64_t> numbers;
    if (source->AsFound) {
        numbers.push_back(FactoryNumberOfSlots(source->AsFound->Slots));
    }
    if (source->AsLeft) {
        numbers.push_back(FactoryNumberOfSlots(source->AsLeft->Sent));
    }
    const bool ours = std::find(numbers.begin(), numbers.end(), number) != numbers.end();
    if (!line.OtherAdapter && (Unnumbered(number) || !ours)) {
        const std::string numberText = FactoryNumberText(static_cast<std::int32_t>(number));
        return refuse(Unnumbered(number)
                          ? "у адаптера нет заводского номера (" + numberText +
                                "); восстановить в него блок записи " + std::to_string(*id) +
                                ": --other-adapter"
                          : "адаптер с заводским номером " + numberText + " не тот, что в записи " +
                                std::to_string(*id) + "; восстановить в него: --other-adapter",
                      kExitBadData);
    }
    TServiceRecord record = recorder.New(TRecordOperation::Restore);
    record.AsFound = AsFoundNow(session);
    session.Block.CoefImage = *image;
    const std::uint8_t address = (*image)[4 * rq7map::kAddressSlot + 1];
    const std::optional<std::uint8_t> newAddress =
        address != found.AnsweredAddress ? std::optional<std::uint8_t>(address) : std::nullopt;
    return RecordedWrite(session, context, recorder, record, false, [&] {
        return session.Sequence.WriteRecordedBlock(newAddress, TTechnologicalTiming::kSlotWriteWaitMs);
    });
}

int CommandCompare(TCliContext& context, const TCommandLine& line) {
    const auto refuse = [&context](const std::string& text, int code) {
        SayError(context.Err, context.Out, text);
        return code;
    };
    if (line.CompareFile.empty() == line.CompareRecord.empty()) {
        return refuse("compare: укажите --file ФАЙЛ или --record ID, одно из двух", kExitUsage);
    }
    TCoefImageBytes other{};
    std::string otherName;
    if (!line.CompareFile.empty()) {
        TCoefFileTexts texts;
        if (const std::optional<std::string> problem = ReadCheckedCoefFile(line.CompareFile, texts)) {
            return refuse(Printable(*problem), kExitBadData);
        }
        TCoefBlock built;
        built.LocalNow = context.LocalNow;
        try {
            built.BuildImageFromTech(TTechTexts{texts.Values, texts.FactoryNumber, texts.Address});
        } catch (const ERq7Error& e) {
            return refuse(std::string(kCheckDataText) + ": " + e.what() + " (" + line.CompareFile + ")",
                          kExitBadData);
        }
        if (built.ImageError != 0) {
            return refuse(std::string(kCheckDataText) + " (" + line.CompareFile + ")", kExitBadData);
        }
        other = built.CoefImage;
        otherName = "файл";
    } else {
        const std::optional<std::int64_t> id = ParseRecordId(line.CompareRecord);
        if (!id) {
            return refuse("--record: \"" + Printable(line.CompareRecord) + "\" не номер записи", kExitUsage);
        }
        TCliRecorder recorder(context, line);
        if (const std::optional<int> failed = OpenForReading(recorder, context)) {
            return *failed;
        }
        const std::optional<TServiceRecord> source = recorder.Store()->Find(*id);
        if (!source) {
            return refuse("в журнале нет записи " + std::to_string(*id), kExitBadData);
        }
        // By default what the record left, when it wrote; what it found otherwise.
        const bool asLeft = line.AsLeft || (!line.AsFoundGiven && source->AsLeft.has_value());
        std::string why;
        const std::optional<TCoefImageBytes> image = RecordedImage(*source, asLeft, why);
        if (!image) {
            return refuse(why, kExitBadData);
        }
        other = *image;
        otherName = "запись " + std::to_string(*id);
    }
    TCliSession session(context, line);
    TShownBlock shown;
    const int read = OpenAndRead(session, shown);
    if (read != kExitDone) {
        return read;
    }
    const TCoefImageBytes& adapter = session.Block.ReadImage;
    context.Out << Pad("слот", 6) << Pad("адаптер", 22) << Pad(otherName, 22) << Pad("байты адаптера", 16)
                << "байты (" << otherName << ")\n";
    std::vector<int> differing;
    for (int k = 1; k <= kSlotCount; ++k) {
        const bool counted = k != rq7map::kRecordDateSlot && k != rq7map::kEndSlot;
        const bool differs = SlotOfImage(adapter, k) != SlotOfImage(other, k);
        if (counted && differs) {
            differing.push_back(k);
        }
        context.Out << Pad(std::to_string(k), 6) << Pad(ShownSlot(adapter, k), 22)
                    << Pad(ShownSlot(other, k), 22) << Pad(SlotHex(adapter, k, " "), 16)
                    << SlotHex(other, k, " ")
                    << (!differs  ? ""
                        : counted ? "  отличается"
                                  : "  (не считается)")
                    << '\n';
    }
    if (differing.empty()) {
        context.Out << "Блок адаптера совпадает (" << otherName << "): слоты 1-13 и 15\n";
        return kExitDone;
    }
    std::string list;
    for (const int k : differing) {
        list += (list.empty() ? "" : ", ") + std::to_string(k);
    }
    context.Out << "Отличаются слоты: " << list << '\n';
    return kExitDifferent;
}

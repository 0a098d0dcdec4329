#include "cli/CliCommands.h"

#include <QJsonDocument>

#include <array>
#include <istream>
#include <optional>
#include <ostream>
#include <string>

#include "cli/CliExit.h"
#include "cli/CliOutput.h"
#include "cli/CliSession.h"
#include "coef/CoefBlock.h"
#include "coef/CoefFile.h"
#include "coef/DeviceMap.h"
#include "coef/Errors.h"
#include "coef/Passwords.h"
#include "coef/TextFile.h"
#include "coef/ValueText.h"
#include "link/CoefSequence.h"
#include "link/Translation.h"

namespace {

using rq7map::kSlotCount;
using rq7map::kValueSlots;

constexpr const char* kCheckDataText = "Проверьте данные";
constexpr const char* kChecksumText = "Ошибка кс";

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

} // namespace

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

#include "cli/CliOutput.h"

#include <QJsonArray>

#include <charconv>
#include <cstdio>
#include <optional>

#include "coef/TextFile.h"
#include "coef/ValueText.h"

using rq7map::kSlotCount;
using rq7map::kValueSlots;

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

std::optional<std::string> IsoDateTime(std::uint32_t p) {
    const unsigned year = (p >> 25) + 1980;
    const unsigned month = (p >> 21) & 0x0F;
    const unsigned day = (p >> 16) & 0x1F;
    const unsigned hour = (p >> 11) & 0x1F;
    const unsigned minute = (p >> 5) & 0x3F;
    const unsigned second = (p & 0x1F) * 2;
    static constexpr unsigned kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    // An erased slot (all ones) or an empty one (zero) holds no date: no 15th month, no 0th day.
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap) ||
        hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", year, month, day, hour, minute, second);
    return std::string(text);
}

std::string NumberText(double value, int significant) {
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, significant);
    return std::string(text, result.ptr);
}

std::string NumberText(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

namespace {
double FromText(const std::string& text) {
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}
} // namespace

// The number of a value slot as shown: the slot's single to the seven significant digits it holds,
// channel 2's limits 100 below it at the same number of decimals (so 185.1 is shown as 85.1, not as
// 85.100006 or 85.09999). Whatever the locale: the digits are made and read by to_chars and from_chars.
double ShownNumber(const TCoefImageBytes& image, int k) {
    const double raw = DecodeDeviceFloat(SlotOfImage(image, k));
    const std::string digits = NumberText(raw, 7);
    const double rounded = FromText(digits);
    if (!rq7map::IsOffsetSlot(k) || digits.find('e') != std::string::npos) {
        return rq7map::IsOffsetSlot(k) ? rounded - rq7map::kChannel2Offset : rounded;
    }
    const std::size_t point = digits.find('.');
    const int decimals = point == std::string::npos ? 0 : static_cast<int>(digits.size() - point - 1);
    char shifted[96];
    const auto result = std::to_chars(shifted, shifted + sizeof shifted, rounded - rq7map::kChannel2Offset,
                                      std::chars_format::fixed, decimals);
    return FromText(std::string(shifted, result.ptr));
}

void SayError(std::ostream& err, std::ostream& out, const std::string& text) {
    err << "rq7cli: " << text << '\n' << std::flush;
    if (!err) {
        out << "rq7cli: " << text << '\n' << std::flush;
    }
}

std::string Printable(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string CoefFileBytes(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const std::string& line : lines) {
        bytes += Utf8ToCp1251(line) + "\r\n";
    }
    return bytes;
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
    const std::optional<std::string> recorded =
        IsoDateTime(SlotWordOfImage(block.ReadImage, rq7map::kRecordDateSlot));
    object[QStringLiteral("recorded")] =
        recorded ? QJsonValue(QString::fromStdString(*recorded)) : QJsonValue(QJsonValue::Null);
    object[QStringLiteral("checksum_ok")] = checksumOk;
    object[QStringLiteral("slots")] = slotTexts;
    return object;
}
